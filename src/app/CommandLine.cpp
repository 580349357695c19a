#include "app/CommandLine.h"

#include <platform/Sockets.h>
#include <getopt.h>
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

// The window toolkit's own options, which it takes out of the command line
// itself: "-style fusion", "-style=fusion" and "--style fusion" alike. Named
// here so that their values are not taken for anything of ours.
constexpr std::array<std::string_view, 22> ToolkitOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "style", "stylesheet", "display", "geometry", "title", "name", "visual",
    "ncols", "cmap", "im", "inputstyle", "qmljsdebugger", "fn", "font"};
constexpr std::array<std::string_view, 6> ToolkitOptionsAlone = {"reverse", "widgetcount", "sync", "nograb",
                                                                 "dograb", "testability"};

// Option codes for getopt_long_only, above every character.
enum TOptionCode : int {
  OptReport = 256, OptServe, OptJson, OptAdapter, OptRead, OptSeconds, OptEvery, OptTop, OptUser, OptAllowHost,
  OptStart, OptQuitAfter, OptNoPrograms, OptHelp, OptVersion, OptToolkit
};

struct TOptionName {
  const char* Name;
  int HasArgument;
  TOptionCode Code;
};
constexpr TOptionName OwnOptions[] = {
    {"report", no_argument, OptReport},         {"serve", required_argument, OptServe},
    {"json", no_argument, OptJson},             {"adapter", required_argument, OptAdapter},
    {"read", required_argument, OptRead},       {"seconds", required_argument, OptSeconds},
    {"every", required_argument, OptEvery},     {"top", required_argument, OptTop},
    {"user", required_argument, OptUser},       {"allow-host", required_argument, OptAllowHost},
    {"start", required_argument, OptStart},     {"quit-after", required_argument, OptQuitAfter},
    {"no-programs", no_argument, OptNoPrograms},
    {"help", no_argument, OptHelp},             {"version", no_argument, OptVersion},
};

// The whole table getopt_long_only reads, the toolkit's options included.
std::vector<option> OptionTable() {
  std::vector<option> table;
  for (const TOptionName& o : OwnOptions) table.push_back({o.Name, o.HasArgument, nullptr, o.Code});
  for (const auto name : ToolkitOptionsWithValue) table.push_back({name.data(), required_argument, nullptr, OptToolkit});
  for (const auto name : ToolkitOptionsAlone) table.push_back({name.data(), no_argument, nullptr, OptToolkit});
  table.push_back({nullptr, 0, nullptr, 0});
  return table;
}

// The name an argument gives, without dashes and value ("--style=x": "style").
std::string_view NameOf(std::string_view arg) {
  arg.remove_prefix(arg.find_first_not_of('-') == std::string_view::npos ? arg.size() : arg.find_first_not_of('-'));
  return arg.substr(0, arg.find('='));
}

// Whether arg names one of the options in the table in full. Written with
// one dash, only a full name makes an option: "-s" is a switch, not short
// for "-session".
bool NamesAnOption(std::string_view arg) {
  const std::string_view name = NameOf(arg);
  const auto is = [&](std::string_view full) { return full == name; };
  return std::any_of(std::begin(OwnOptions), std::end(OwnOptions), [&](const TOptionName& o) { return is(o.Name); }) ||
         std::any_of(ToolkitOptionsWithValue.begin(), ToolkitOptionsWithValue.end(), is) ||
         std::any_of(ToolkitOptionsAlone.begin(), ToolkitOptionsAlone.end(), is);
}

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

std::string ExporterText(std::string_view text) {
  // The exporter has no window: the lines about it go, and the rest names
  // the exporter.
  std::string kept;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
    std::string line(text.substr(start, end - start));
    start = end;
    if (line.find("[-D]") != std::string::npos || line.rfind("  -D ", 0) == 0 || line.rfind("  -S ", 0) == 0 ||
        line.rfind("  --start ", 0) == 0 || line.rfind("  --quit-after ", 0) == 0)
      continue;
    for (std::size_t at = 0; (at = line.find("wirepeek ", at)) != std::string::npos; at += 18)
      line.replace(at, 9, "wirepeek-exporter ");
    kept += line;
  }
  // The first synopsis line went with the window's; the next one starts it.
  if (const auto at = kept.find("       wirepeek-exporter --report"); at == 0) kept.replace(0, 7, "usage: ");
  return kept;
}

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

namespace {

// Whether arg is an option whose value is the next argument ("--seconds 5").
bool TakesSeparateValue(std::string_view arg) {
  if (arg.size() < 2 || arg[0] != '-' || arg.find('=') != std::string_view::npos) return false;
  const std::string_view name = NameOf(arg);
  return std::any_of(std::begin(OwnOptions), std::end(OwnOptions),
                     [&](const TOptionName& o) { return o.HasArgument == required_argument && o.Name == name; }) ||
         std::find(ToolkitOptionsWithValue.begin(), ToolkitOptionsWithValue.end(), name) != ToolkitOptionsWithValue.end();
}

void ParseSwitch(const std::string& arg, TLongOptions& options) {
  if (arg.size() < 2 || arg[0] != '-') return;
  switch (arg[1]) {
    case 'D':
    case 'd':
      options.Debug = true;
      break;
    case 'S':
    case 's':
      options.DumpLimit = true;
      break;
    default:
      break;
  }
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, TLongOptions& options, std::string& error) {
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
  // The switches ("-D", "-Debug", "-S") count by their second character
  // alone, so they are taken out before the options are parsed; a single
  // dash before an option's name ("-platform") keeps it an option.
  std::vector<std::string> named;
  bool valueNext = false;  // the argument is the value of the option before it
  for (const auto& arg : args) {
    if (arg == "--") {
      error = "unknown option '--'";
      return false;
    }
    if (!valueNext && arg.size() >= 2 && arg[0] == '-' && arg[1] != '-' && !NamesAnOption(arg))
      ParseSwitch(arg, options);
    else
      named.push_back(arg);
    valueNext = !valueNext && TakesSeparateValue(arg);
  }
  std::vector<char*> argv{const_cast<char*>("wirepeek")};
  for (auto& arg : named) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::vector<option> table = OptionTable();

  bool report = false, serve = false, seconds = false;
  std::vector<std::string> headlessOnly, windowOnly;
  // Reset, for a program that parses more than one command line (the tests).
  optind = 0;
  opterr = 0;
  for (;;) {
    int index = -1;
    const int code = getopt_long_only(static_cast<int>(argv.size() - 1), argv.data(), ":", table.data(), &index);
    if (code == -1) break;
    if (code == '?' || code == ':') {
      // getopt has stepped past the argument at fault.
      const std::string written = argv[static_cast<std::size_t>(optind - 1)];
      const auto own = std::find_if(std::begin(OwnOptions), std::end(OwnOptions),
                                    [](const TOptionName& o) { return o.Code == optopt; });
      const std::string name =
          "--" + (own != std::end(OwnOptions) ? std::string(own->Name) : std::string(NameOf(written)));
      // The toolkit takes, or ignores, its own options without a value.
      if (code == ':' && optopt == OptToolkit) continue;
      if (code == ':')
        error = name + " needs a value";
      else if (optopt != 0)
        error = name + " takes no value";
      else
        error = "unknown option '" + written.substr(0, written.find('=')) + "'";
      return false;
    }
    const std::string name = "--" + std::string(table[static_cast<std::size_t>(index)].name);
    const std::string value = optarg ? optarg : "";
    // A value that must be a whole number from low to high.
    const auto number = [&](long low, long high, long& into, const std::string& what) {
      if (WholeNumber(value, low, high, into)) return true;
      error = name + " needs " + what + ", not '" + value + "'";
      return false;
    };
    switch (code) {
      case OptReport:
        report = true;
        break;
      case OptServe:
        if (!ParseListenAddress(value, options.ListenAddress, options.ListenPort, error)) return false;
        serve = true;
        break;
      case OptJson:
        options.Json = true;
        headlessOnly.push_back(name);
        break;
      case OptAdapter:
        options.Adapter = value;
        headlessOnly.push_back(name);
        break;
      case OptRead:
        if (value.empty()) {
          error = "--read needs a file name";
          return false;
        }
        options.File = value;
        headlessOnly.push_back(name);
        break;
      case OptSeconds:
        if (!number(0, MaxSeconds, options.Seconds, "a whole number of seconds")) return false;
        seconds = true;
        headlessOnly.push_back(name);
        break;
      case OptEvery:
        if (!number(1, MaxSeconds, options.Every, "a whole number of seconds from 1 on")) return false;
        headlessOnly.push_back(name);
        break;
      case OptTop: {
        long top = 0;
        if (!number(0, MaxTopAddresses, top, "a number from 0 to " + std::to_string(MaxTopAddresses))) return false;
        options.Top = static_cast<int>(top);
        headlessOnly.push_back(name);
        break;
      }
      case OptUser:
        if (value.empty()) {
          error = "--user needs a user name";
          return false;
        }
        options.User = value;
        headlessOnly.push_back(name);
        break;
      case OptAllowHost:
        if (!IsHostName(value)) {
          error = "--allow-host needs a host name, not '" + value + "'";
          return false;
        }
        options.AllowHosts.push_back(value);
        headlessOnly.push_back(name);
        break;
      case OptNoPrograms:
        options.Programs = false;
        break;
      case OptStart:
        options.Start = value;
        windowOnly.push_back(name);
        break;
      case OptQuitAfter:
        if (!number(0, MaxSeconds, options.QuitAfter, "a whole number of seconds")) return false;
        windowOnly.push_back(name);
        break;
      default:  // the toolkit's own
        windowOnly.push_back(name);
        break;
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
                                  std::ostream& err, TEnvironment environment, const TFrontEnds& frontEnds) {
  const std::string synopsis = frontEnds.Window ? Synopsis : ExporterText(Synopsis);
  std::string error;
  if (!ParseCommandLine(args, options, error)) {
    err << "wirepeek: " << error << '\n' << synopsis;
    return 2;
  }
  if (!frontEnds.Window && options.Mode == TRunMode::Window) {
    err << "wirepeek-exporter: give --report or --serve; the window is the program wirepeek\n" << synopsis;
    return 2;
  }
  switch (options.Mode) {
    case TRunMode::Help:
      out << synopsis << (frontEnds.Window ? OptionList : ExporterText(OptionList));
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
