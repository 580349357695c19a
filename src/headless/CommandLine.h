#pragma once
// The program's long options, and the front end they choose: the window, the
// headless report or the metrics endpoint. Toolkit-free, so it can decide
// before any window exists (and where no display can be opened).
//
// The switches "-D" and "-S" are not long options: ParseCommandLine
// handles them, and the parsing here leaves every single-dash argument alone.
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

enum class TRunMode { Window, Report, Serve, Help, Version };

struct TLongOptions {
  TRunMode Mode = TRunMode::Window;
  // --report and --serve.
  std::string Adapter;
  std::string File;        // --read: a capture file instead of the live interface
  long Seconds = -1;       // live capture length; -1 none given
  bool Json = false;
  long Every = 0;          // --every: seconds between JSON lines, 0 none
  // --serve ADDR:PORT.
  std::string ListenAddress;
  int ListenPort = 0;
  int Top = 20;            // remote addresses on /metrics
  std::string User;        // who serves when started as root (empty: nobody)
  std::vector<std::string> AllowHosts;  // --allow-host: more names a request may use
  // The window.
  std::string Start;       // --start ADDR
  long QuitAfter = -1;     // --quit-after SECONDS
  // Every front end.
  bool Programs = true;    // cleared by --no-programs
};

inline constexpr int MaxTopAddresses = 1000;
inline constexpr long MaxSeconds = 31'536'000;  // a year

// The usage text --help prints; its first lines follow a bad argument.
extern const char* const UsageText;

// Parses Args (without the program name). On a bad argument returns false and
// a one-line reason in Error.
bool ParseLongOptions(const std::vector<std::string>& Args, TLongOptions& Options, std::string& Error);

// "ADDR:PORT", ":PORT" or "PORT" (on the loopback address); ADDR an IPv4
// address or "localhost". False with a reason.
bool ParseListenAddress(const std::string& Text, std::string& Address, int& Port, std::string& Error);

// Whether a window could be shown with this environment: a toolkit platform
// that needs no display (named by the -platform option, else by
// QT_QPA_PLATFORM), or a display named in DISPLAY or WAYLAND_DISPLAY whose
// local socket exists.
using TEnvironment = const char* (*)(const char* Name);
const char* SystemEnvironment(const char* Name);  // the process's own
bool DisplayAvailable(TEnvironment Environment, const std::string& PlatformOption = {});
// The value of the toolkit's -platform (or --platform) option, or empty.
std::string PlatformOption(const std::vector<std::string>& Args);

// Runs the front end the options choose, except the window. Returns the
// process exit code when it ran one (help, version, a headless front end, a
// bad argument: 2, no display for the window: 1), or nothing when the window
// should start; Options then holds the window's options.
std::optional<int> RunCommandLine(const std::vector<std::string>& Args, TLongOptions& Options, std::ostream& Out,
                                  std::ostream& Err, TEnvironment Environment);
