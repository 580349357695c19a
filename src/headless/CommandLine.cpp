#include "headless/CommandLine.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <ostream>
#include <string_view>

#include "headless/HeadlessReport.h"
#include "headless/MetricsServe.h"
#include "support/VersionInfo.h"

namespace {

const char* const Synopsis =
    "usage: wirepeek [-D] [-S] [--start ADDR [--quit-after SECONDS]] [--no-programs]\n"
    "       wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json [--every SECONDS]]\n"
    "                [--no-programs]\n"
    "       wirepeek --serve [ADDR:]PORT --adapter ADDR [--top K] [--allow-host NAME]... [--user NAME]\n"
    "                [--seconds N] [--json] [--no-programs]\n"
    "       wirepeek --help | --version\n";

const char* const OptionList =
    "  -D                    debug mode: the trace window shows diagnostics and every packet\n"
    "  -S                    packet dumps show at most the first 256 bytes\n"
    "  --start ADDR          start capturing on ADDR at once\n"
    "  --quit-after SECONDS  then end the capture, print its totals as JSON and quit\n"
    "  --report              count one capture without the window and print its totals\n"
    "  --serve [ADDR:]PORT   capture without the window until stopped, serving GET /metrics\n"
    "                        (Prometheus) and GET /report.json over HTTP; PORT alone listens\n"
    "                        on 127.0.0.1 only, :PORT on every address (0.0.0.0), PORT 0\n"
    "                        picks a free port\n"
    "  --adapter ADDR        the IPv4 address whose traffic is counted\n"
    "  --read FILE           count a pcap or pcapng file instead of the live interface\n"
    "  --seconds N           capture live for N seconds (--serve: stop after N seconds)\n"
    "  --json                print the totals as one line of JSON\n"
    "  --every SECONDS       with --report --json: also a JSON line of the figures so far and\n"
    "                        of the interval, every SECONDS\n"
    "  --top K               with --serve: bytes of the K remote addresses with the most bytes\n"
    "                        (default 20, at most 1000); /report.json lists those K\n"
    "  --allow-host NAME     with --serve: also answer requests for the host name NAME\n"
    "                        (besides the address served on and localhost); repeatable\n"
    "  --user NAME           with --serve started as root: the user it serves as once the\n"
    "                        capture is open (default nobody)\n"
    "  --no-programs         do not find which program of this host sent or received the\n"
    "                        traffic (no per-program table, \"programs\" or program series)\n"
    "  --help                this text\n"
    "  --version             the program's name and version\n"
    "The report and the endpoint need no display.\n";

// Long options the window's toolkit takes for itself (their values, if any,
// are separate arguments, which this parsing ignores).
constexpr std::array<std::string_view, 22> ToolkitOptions = {
    "--platform", "--platformpluginpath", "--platformtheme", "--plugin", "--qwindowgeometry", "--qwindowicon",
    "--qwindowtitle", "--reverse", "--session", "--style", "--stylesheet", "--widgetcount", "--display",
    "--geometry", "--title", "--name", "--sync", "--nograb", "--dograb", "--visual", "--ncols", "--cmap"};

bool WholeNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 12) return false;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (*end || !std::isdigit(static_cast<unsigned char>(text[0])) || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool IsAddress(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

// Letters, digits, dots, hyphens and underscores, as a Host header carries a
// name.
bool IsHostName(const std::string& text) {
  if (text.empty() || text.size() > 253) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
}

}  // namespace

const char* const UsageText = Synopsis;

bool ParseListenAddress(const std::string& text, std::string& address, int& port, std::string& error) {
  const auto colon = text.rfind(':');
  std::string host = colon == std::string::npos ? std::string() : text.substr(0, colon);
  const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
  long value = 0;
  if (!WholeNumber(portText, 0, 65535, value)) {
    error = "--serve needs [ADDR:]PORT with a port from 0 to 65535, not '" + text + "'";
    return false;
  }
  // ":PORT" is every address, as exporters take it; a bare PORT stays on
  // loopback.
  if (colon != std::string::npos && host.empty())
    host = "0.0.0.0";
  else if (host.empty() || host == "localhost")
    host = "127.0.0.1";
  if (!IsAddress(host)) {
    error = "--serve needs an IPv4 address to listen on, not '" + host + "'";
    return false;
  }
  address = host;
  port = static_cast<int>(value);
  return true;
}

bool ParseLongOptions(const std::vector<std::string>& args, TLongOptions& options, std::string& error) {
  options = TLongOptions{};
  for (const auto& a : args) {
    if (a == "--help") {
      options.Mode = TRunMode::Help;
      return true;
    }
  }
  for (const auto& a : args) {
    if (a == "--version") {
      options.Mode = TRunMode::Version;
      return true;
    }
  }
  bool report = false, serve = false, seconds = false;
  std::vector<std::string> headlessOnly, windowOnly;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) continue;  // the switches, toolkit options and values
    // "--name=value" is the same as "--name value".
    const auto equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    std::optional<std::string> inlineValue;
    if (equals != std::string::npos) inlineValue = arg.substr(equals + 1);
    const auto value = [&](std::string& into) {
      if (inlineValue) {
        into = *inlineValue;
      } else if (i + 1 < args.size()) {
        into = args[++i];
      } else {
        error = name + " needs a value";
        return false;
      }
      return true;
    };
    // A value that must be a whole number from low to high.
    const auto number = [&](long low, long high, long& into, const std::string& what) {
      std::string text;
      if (!value(text)) return false;
      if (WholeNumber(text, low, high, into)) return true;
      error = name + " needs " + what + ", not '" + text + "'";
      return false;
    };
    const auto flag = [&] {
      if (!inlineValue) return true;
      error = name + " takes no value";
      return false;
    };
    std::string text;
    if (name == "--report") {
      if (!flag()) return false;
      report = true;
    } else if (name == "--serve") {
      if (!value(text) || !ParseListenAddress(text, options.ListenAddress, options.ListenPort, error)) return false;
      serve = true;
    } else if (name == "--json") {
      if (!flag()) return false;
      options.Json = true;
      headlessOnly.push_back(name);
    } else if (name == "--adapter") {
      if (!value(options.Adapter)) return false;
      headlessOnly.push_back(name);
    } else if (name == "--read") {
      if (!value(options.File)) return false;
      if (options.File.empty()) {
        error = "--read needs a file name";
        return false;
      }
      headlessOnly.push_back(name);
    } else if (name == "--seconds") {
      if (!number(0, MaxSeconds, options.Seconds, "a whole number of seconds")) return false;
      seconds = true;
      headlessOnly.push_back(name);
    } else if (name == "--every") {
      if (!number(1, MaxSeconds, options.Every, "a whole number of seconds from 1 on")) return false;
      headlessOnly.push_back(name);
    } else if (name == "--top") {
      long top = 0;
      if (!number(0, MaxTopAddresses, top, "a number from 0 to " + std::to_string(MaxTopAddresses))) return false;
      options.Top = static_cast<int>(top);
      headlessOnly.push_back(name);
    } else if (name == "--user") {
      if (!value(options.User)) return false;
      if (options.User.empty()) {
        error = "--user needs a user name";
        return false;
      }
      headlessOnly.push_back(name);
    } else if (name == "--allow-host") {
      if (!value(text)) return false;
      if (!IsHostName(text)) {
        error = "--allow-host needs a host name, not '" + text + "'";
        return false;
      }
      options.AllowHosts.push_back(text);
      headlessOnly.push_back(name);
    } else if (name == "--no-programs") {
      if (!flag()) return false;
      options.Programs = false;
    } else if (name == "--start") {
      if (!value(options.Start)) return false;
      windowOnly.push_back(name);
    } else if (name == "--quit-after") {
      if (!number(0, MaxSeconds, options.QuitAfter, "a whole number of seconds")) return false;
      windowOnly.push_back(name);
    } else if (std::find(ToolkitOptions.begin(), ToolkitOptions.end(), name) != ToolkitOptions.end()) {
      windowOnly.push_back(name);
    } else {
      error = "unknown option '" + name + "'";
      return false;
    }
  }

  if (report && serve) {
    error = "--report and --serve do not go together";
    return false;
  }
  if (!report && !serve) {
    if (!headlessOnly.empty()) {
      error = headlessOnly.front() + " needs --report or --serve";
      return false;
    }
    if (options.QuitAfter >= 0 && options.Start.empty()) {
      error = "--quit-after needs --start";
      return false;
    }
    options.Mode = TRunMode::Window;
    return true;
  }
  if (!windowOnly.empty()) {
    error = windowOnly.front() + " is for the window, not for " + (report ? "--report" : "--serve");
    return false;
  }
  if (options.Adapter.empty()) {
    error = "--adapter is missing";
    return false;
  }
  if (!IsAddress(options.Adapter)) {
    error = "--adapter needs an IPv4 address, not '" + options.Adapter + "'";
    return false;
  }
  const auto has = [&](const char* name) {
    return std::find(headlessOnly.begin(), headlessOnly.end(), name) != headlessOnly.end();
  };
  if (report) {
    if (options.File.empty() == !seconds) {
      error = "give either --read FILE or --seconds N";
      return false;
    }
    for (const char* serveOnly : {"--top", "--allow-host", "--user"}) {
      if (has(serveOnly)) {
        error = std::string(serveOnly) + " is for --serve";
        return false;
      }
    }
    if (options.Every > 0 && (!options.Json || !seconds)) {
      error = "--every needs --json and a live capture (--seconds N)";
      return false;
    }
    options.Mode = TRunMode::Report;
    return true;
  }
  if (!options.File.empty()) {
    error = "--serve captures live; --read is for --report";
    return false;
  }
  if (options.Every > 0) {
    error = "--every is for --report; --serve answers whenever it is asked";
    return false;
  }
  options.Mode = TRunMode::Serve;
  return true;
}

const char* SystemEnvironment(const char* name) { return std::getenv(name); }

std::string PlatformOption(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    for (const std::string_view name : {"-platform", "--platform"}) {
      if (args[i] == name && i + 1 < args.size()) return args[i + 1];
      if (args[i].rfind(std::string(name) + "=", 0) == 0) return args[i].substr(name.size() + 1);
    }
  }
  return {};
}

bool DisplayAvailable(TEnvironment environment, const std::string& platformOption) {
  const auto value = [&](const char* name) {
    const char* v = environment(name);
    return std::string(v ? v : "");
  };
  const std::string platform = platformOption.empty() ? value("QT_QPA_PLATFORM") : platformOption;
  // Platforms that draw without a display server (offscreen, vnc, the
  // framebuffer ones) are the toolkit's business.
  if (!platform.empty() && platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0) return true;
  if (!value("WAYLAND_DISPLAY").empty()) return true;
  const std::string display = value("DISPLAY");
  if (display.empty()) return false;
  // A local X display is a socket in /tmp/.X11-unix; a remote one is taken on
  // trust.
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  struct stat info{};
  return stat(("/tmp/.X11-unix/X" + number).c_str(), &info) == 0;
}

namespace {

// What a run printed must have reached its reader: a full disk or a closed
// pipe is a failure, not a success with nothing in it.
int Written(int code, std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) return code;
  err << "wirepeek: could not write to standard output\n";
  return 1;
}

}  // namespace

std::optional<int> RunCommandLine(const std::vector<std::string>& args, TLongOptions& options, std::ostream& out,
                                  std::ostream& err, TEnvironment environment) {
  std::string error;
  if (!ParseLongOptions(args, options, error)) {
    err << "wirepeek: " << error << '\n' << Synopsis;
    return 2;
  }
  switch (options.Mode) {
    case TRunMode::Help:
      out << Synopsis << OptionList;
      return Written(0, out, err);
    case TRunMode::Version: {
      const TAboutVersionInfo info = LoadVersionInfo();
      const std::string& name = info.VersionValues[7];
      const std::string& version = info.VersionValues[8];
      if (info.VersionInfoSize == 0 || name.empty() || version.empty()) {
        err << "wirepeek: this executable carries no version information (" << info.AboutExePath << ")\n";
        return 1;
      }
      out << name << ' ' << version << '\n';
      return Written(0, out, err);
    }
    case TRunMode::Report:
      return Written(RunHeadlessReport(options, out, err), out, err);
    case TRunMode::Serve:
      return Written(RunMetricsServe(options, out, err), out, err);
    case TRunMode::Window:
      if (!DisplayAvailable(environment, PlatformOption(args))) {
        err << "wirepeek: no display to show the window on (DISPLAY is not set or not reachable); "
               "--report and --serve need none\n";
        return 1;
      }
      return std::nullopt;
  }
  return 2;
}
