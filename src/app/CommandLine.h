#pragma once
// The program's long options, and the front end they choose: the window, the
// headless report or the metrics endpoint. Toolkit-free, so it can decide
// before any window exists (and where no display can be opened).
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/OptionTable.h"
#include "support/ProgramOptions.h"

// Parses Args (without the program name) by the rows of OptionRows: the
// switches "-D" and "-S" by their second character, every named option
// through getopt_long_only, the toolkit's own options left to the toolkit. On a bad argument returns false
// and a one-line reason in Error.
bool ParseCommandLine(const std::vector<std::string>& Args, TLongOptions& Options, std::string& Error);

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
struct TFrontEnds {
  bool Window = true;  // false in wirepeek-exporter
};
std::optional<int> RunCommandLine(const std::vector<std::string>& Args, TLongOptions& Options, std::ostream& Out,
                                  std::ostream& Err, TEnvironment Environment, const TFrontEnds& FrontEnds = {});