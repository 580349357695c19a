#include "app/CommandLine.h"

#include <platform/Sockets.h>
#include <getopt.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <ostream>
#include <string_view>

#include "app/OptionTable.h"
#include "capture/backend/HostAddresses.h"
#include "capture/backend/IpAddress.h"
#include "headless/HeadlessReport.h"
#include "headless/MetricsServe.h"
#include "support/VersionInfo.h"

namespace {

// Option codes for getopt_long_only, above every character: an own option's is
// its row's index on top of OwnCode. The toolkit's options share one code, so
// that getopt finds an abbreviation of several of them unambiguous, as the
// toolkit does.
constexpr int ToolkitCode = 256;
constexpr int OwnCode = 257;

// The whole table getopt_long_only reads, the toolkit's options included.
std::vector<option> GetoptTable() {
  std::vector<option> table;
  int code = OwnCode;
  for (const TOptionRow& row : OptionRows()) {
    if (row.Kind != TValueKind::Switch)
      table.push_back({row.Name.data(), row.Kind == TValueKind::None ? no_argument : required_argument, nullptr, code});
    ++code;
  }
  for (const auto name : ToolkitOptionsWithValue())
    table.push_back({name.data(), required_argument, nullptr, ToolkitCode});
  for (const auto name : ToolkitOptionsAlone()) table.push_back({name.data(), no_argument, nullptr, ToolkitCode});
  table.push_back({nullptr, 0, nullptr, 0});
  return table;
}

const TOptionRow* RowOfCode(int code) {
  const auto rows = OptionRows();
  if (code < OwnCode || code >= OwnCode + static_cast<int>(rows.size())) return nullptr;
  return &rows[static_cast<std::size_t>(code - OwnCode)];
}

// The option named Name, not a switch: a row of ours or the toolkit's.
enum class TNamed { Not, Alone, WithValue };
TNamed Named(std::string_view name) {
  for (const TOptionRow& row : OptionRows())
    if (row.Kind != TValueKind::Switch && row.Name == name)
      return row.Kind == TValueKind::None ? TNamed::Alone : TNamed::WithValue;
  const auto is = [&](std::string_view full) { return full == name; };
  if (std::ranges::any_of(ToolkitOptionsWithValue(), is)) return TNamed::WithValue;
  if (std::ranges::any_of(ToolkitOptionsAlone(), is)) return TNamed::Alone;
  return TNamed::Not;
}

// The name an argument gives, without dashes and value ("--style=x": "style").
std::string_view NameOf(std::string_view arg) {
  arg.remove_prefix(arg.find_first_not_of('-') == std::string_view::npos ? arg.size() : arg.find_first_not_of('-'));
  return arg.substr(0, arg.find('='));
}

// Whether arg names one of the options in full. Written with one dash, only a
// full name makes an option: "-s" is a switch, not short for "-session".
bool NamesAnOption(std::string_view arg) { return Named(NameOf(arg)) != TNamed::Not; }

// Whether arg is two dashes and one character that begins no option's name
// ("--D"): a switch whose second character is a dash, which changes nothing.
bool DashedLetter(std::string_view arg) {
  if (arg.size() != 3 || arg[0] != '-' || arg[1] != '-' || arg[2] == '=') return false;
  const auto begins = [&](std::string_view name) { return name.front() == arg[2]; };
  const auto rowBegins = [&](const TOptionRow& row) { return row.Kind != TValueKind::Switch && begins(row.Name); };
  return std::ranges::none_of(OptionRows(), rowBegins) &&
         std::ranges::none_of(ToolkitOptionsWithValue(), begins) && std::ranges::none_of(ToolkitOptionsAlone(), begins);
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

// What --adapter takes: an address of either family, or the name of an
// interface of this host that holds an address (all of them are watched).
bool IsAdapter(const std::string& text) {
  TIpAddress parsed;
  if (TIpAddress::Parse(text, parsed)) return true;
  std::vector<THostAddress> host;
  return WholeInterfaceCapture && !text.empty() && SystemIpAddresses(host) && !InterfaceAddresses(host, text).empty();
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
  return Named(NameOf(arg)) == TNamed::WithValue;
}

void ParseSwitch(const std::string& arg, TLongOptions& options) {
  if (arg.size() < 2 || arg[0] != '-') return;
  for (const TOptionRow& row : OptionRows()) {
    const bool letter = std::toupper(static_cast<unsigned char>(arg[1])) == row.Name.front();
    if (row.Kind != TValueKind::Switch || !letter) continue;
    if (row.Id == TOptionId::Debug) options.Debug = true;
    if (row.Id == TOptionId::DumpLimit) options.DumpLimit = true;
  }
}

// The value of an option of row's kind, checked; false with a reason.
bool CheckValue(const TOptionRow& row, const std::string& name, const std::string& value, long& number,
                std::string& error) {
  switch (row.Kind) {
    case TValueKind::Seconds:
    case TValueKind::Count:
      if (WholeNumber(value, row.Low, row.High, number)) return true;
      error = name + " needs " +
              (row.Kind == TValueKind::Count
                   ? "a number from " + std::to_string(row.Low) + " to " + std::to_string(row.High)
                   : "a whole number of seconds" + (row.Low > 0 ? " from " + std::to_string(row.Low) + " on" : "")) +
              ", not '" + value + "'";
      return false;
    case TValueKind::Text:
      if (!row.Noun.empty() && value.empty()) {
        error = name + " needs " + std::string(row.Noun);
        return false;
      }
      return true;
    case TValueKind::HostName:
      if (IsHostName(value)) return true;
      error = name + " needs a host name, not '" + value + "'";
      return false;
    default:  // the rest are checked where they are used
      return true;
  }
}

// The front end named in messages.
std::string FrontEndName(TFrontEndSet frontEnd) { return frontEnd == ForReport ? "--report" : "--serve"; }

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
    else if (valueNext || !DashedLetter(arg))
      named.push_back(arg);
    valueNext = !valueNext && TakesSeparateValue(arg);
  }
  std::vector<char*> argv{const_cast<char*>("wirepeek")};
  for (auto& arg : named) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::vector<option> table = GetoptTable();

  // The options given, in order, each with the front ends it is for.
  struct TGiven {
    std::string Name;
    TFrontEndSet FrontEnds;
  };
  std::vector<TGiven> given;
  bool report = false, serve = false;
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
      const TOptionRow* own = RowOfCode(optopt);
      const std::string name = "--" + std::string(own ? own->Name : NameOf(written));
      // The toolkit takes, or ignores, its own options without a value.
      if (code == ':' && optopt == ToolkitCode) continue;
      if (code == ':')
        error = name + " needs a value";
      else if (optopt != 0)
        error = name + " takes no value";
      else
        error = "unknown option '" + written.substr(0, written.find('=')) + "'";
      return false;
    }
    const std::string name = "--" + std::string(table[static_cast<std::size_t>(index)].name);
    const TOptionRow* row = RowOfCode(code);
    if (!row) {  // the toolkit's own
      given.push_back({name, ForWindow});
      continue;
    }
    const std::string value = optarg ? optarg : "";
    long number = 0;
    if (!CheckValue(*row, name, value, number, error)) return false;
    switch (row->Id) {
      case TOptionId::Report: report = true; break;
      case TOptionId::Serve:
        if (!ParseListenAddress(value, options.ListenAddress, options.ListenPort, error)) return false;
        serve = true;
        break;
      case TOptionId::Json: options.Json = true; break;
      case TOptionId::Adapter: options.Adapter = value; break;
      case TOptionId::Read: options.File = value; break;
      case TOptionId::Seconds: options.Seconds = number; break;
      case TOptionId::Every: options.Every = number; break;
      case TOptionId::Top: options.Top = static_cast<int>(number); break;
      case TOptionId::User: options.User = value; break;
      case TOptionId::AllowHost: options.AllowHosts.push_back(value); break;
      case TOptionId::WebConfig: options.WebConfig = value; break;
      case TOptionId::NoPrograms: options.Programs = false; break;
      case TOptionId::Names: options.Names = true; break;
      case TOptionId::NoNames: options.Names = false; break;
      case TOptionId::Start: options.Start = value; break;
      case TOptionId::QuitAfter: options.QuitAfter = number; break;
      default: break;  // the switches, --help and --version are taken before
    }
    // The options that choose a front end are not misplaced in it.
    if (row->Id != TOptionId::Report && row->Id != TOptionId::Serve) given.push_back({name, row->FrontEnds});
  }
  if (report && serve) {
    error = "--report and --serve do not go together";
    return false;
  }
  if (!report && !serve) {
    for (const TGiven& g : given) {
      if (!(g.FrontEnds & ForWindow)) {
        error = g.Name + " needs --report or --serve";
        return false;
      }
    }
    // A capture file is read from the window as from the report: seen from
    // the address given.
    if (!options.File.empty() && !options.Start.empty()) {
      error = "--read and --start do not go together";
      return false;
    }
    if (options.File.empty() != options.Adapter.empty()) {
      error = options.File.empty() ? "--adapter needs --read, --report or --serve" : "--adapter is missing";
      return false;
    }
    if (!options.Adapter.empty() && !IsAdapter(options.Adapter)) {
      error = "--adapter needs an IPv4 address, not '" + options.Adapter + "'";
      return false;
    }
    if (options.QuitAfter >= 0 && options.Start.empty() && options.File.empty()) {
      error = "--quit-after needs --start or --read";
      return false;
    }
    options.Mode = TRunMode::Window;
    return true;
  }
  const TFrontEndSet frontEnd = report ? ForReport : ForServe;
  for (const TGiven& g : given) {
    if (!(g.FrontEnds & ForHeadless)) {
      error = g.Name + " is for the window, not for " + FrontEndName(frontEnd);
      return false;
    }
  }
  if (options.Adapter.empty()) {
    error = "--adapter is missing";
    return false;
  }
  if (!IsAdapter(options.Adapter)) {
    error = "--adapter needs an IPv4 address, not '" + options.Adapter + "'";
    return false;
  }
  if (report && options.File.empty() == (options.Seconds < 0)) {
    error = "give either --read FILE or --seconds N";
    return false;
  }
  // In the order of the rows, whatever the order given.
  for (const TOptionRow& row : OptionRows()) {
    const std::string name = "--" + std::string(row.Name);
    if ((row.FrontEnds & frontEnd) || std::ranges::none_of(given, [&](const TGiven& g) { return g.Name == name; }))
      continue;
    error = row.Misplaced.empty() ? name + " is for " + FrontEndName(ForHeadless & ~frontEnd)
                                  : std::string(row.Misplaced);
    return false;
  }
  if (report && options.Every > 0 && (!options.Json || options.Seconds < 0)) {
    error = "--every needs --json and a live capture (--seconds N)";
    return false;
  }
  options.Mode = report ? TRunMode::Report : TRunMode::Serve;
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
  const std::string_view program = frontEnds.Window ? "wirepeek" : "wirepeek-exporter";
  const TFrontEndSet runs = frontEnds.Window ? ForEvery : ForHeadless;
  const std::string synopsis = SynopsisText(program, runs);
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
      out << HelpText(program, runs);
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
