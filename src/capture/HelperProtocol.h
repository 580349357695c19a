#pragma once
// What the program and its capture helper, wirepeek-capture, agree on. The
// helper writes a pcap stream to its standard output, its messages and, at
// the end, the kernel's counts to its standard error, and ends when its
// standard input closes.

// Exit status of the helper.
inline constexpr int HelperExitFailed = 1;          // rights not dropped, stream broken
inline constexpr int HelperExitRefused = 2;         // bad arguments, not an address of this host
inline constexpr int HelperExitCreateFailed = 3;    // the capture cannot be created
inline constexpr int HelperExitActivateFailed = 4;  // the capture cannot be switched on

// Bytes kept of each frame unless whole datagrams are asked for: any link
// header we decode (20 at most on a live capture) plus the IP header and the
// port bytes the counting reads, with room to spare.
inline constexpr int HelperShortSnapLength = 128;

// The kernel's counts, the helper's last line on standard error.
inline constexpr const char* HelperStatsFormat = "kernel received %llu dropped %llu\n";
