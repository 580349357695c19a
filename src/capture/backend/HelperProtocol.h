#pragma once
// What the program and its capture helper, wirepeek-capture, agree on. The
// helper writes a pcap stream to its standard output, its messages and, at
// the end, the kernel's counts to its standard error. When its standard
// input closes it passes on what the kernel still holds, then ends the
// stream.

// Exit status of the helper.
inline constexpr int HelperExitFailed = 1;          // rights not dropped, stream broken
inline constexpr int HelperExitRefused = 2;         // bad arguments, not an address of this host
inline constexpr int HelperExitCreateFailed = 3;    // the capture cannot be created
inline constexpr int HelperExitActivateFailed = 4;  // the capture cannot be switched on

// The kernel's counts, the helper's last line on standard error.
inline constexpr const char* HelperStatsFormat = "kernel received %llu dropped %llu\n";
