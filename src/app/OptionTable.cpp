#include "app/OptionTable.h"

#include <algorithm>
#include <array>

namespace {

using enum TOptionId;
using K = TValueKind;

constexpr TOptionRow Rows[] = {
    {.Id = Debug, .Name = "D", .Kind = K::Switch, .FrontEnds = ForWindow, .Value = {},
     .Help = "debug mode: the trace window shows diagnostics and every packet"},
    {.Id = DumpLimit, .Name = "S", .Kind = K::Switch, .FrontEnds = ForWindow, .Value = {},
     .Help = "packet dumps show at most the first 256 bytes"},
    {.Id = Start, .Name = "start", .Kind = K::Text, .FrontEnds = ForWindow, .Value = "ADDR",
     .Help = "start capturing on ADDR at once"},
    {.Id = QuitAfter, .Name = "quit-after", .Kind = K::Seconds, .FrontEnds = ForWindow, .Value = "SECONDS",
     .Help = "then end the capture, print its totals as JSON and quit", .Low = 0, .High = MaxSeconds},
    {.Id = Report, .Name = "report", .Kind = K::None, .FrontEnds = ForReport, .Value = {},
     .Help = "count one capture without the window and print its totals"},
    {.Id = Serve, .Name = "serve", .Kind = K::ListenAddress, .FrontEnds = ForServe, .Value = "[ADDR:]PORT",
     .Help = "capture without the window until stopped, serving GET /metrics\n"
             "(Prometheus) and GET /report.json over HTTP; PORT alone listens\n"
             "on 127.0.0.1 only, :PORT on every address (0.0.0.0), PORT 0\n"
             "picks a free port"},
    {.Id = Adapter, .Name = "adapter", .Kind = K::Address, .FrontEnds = ForEvery, .Value = "ADDR",
     .Help = "the IPv4 or IPv6 address whose traffic is counted\n"
             "(a link-local one with its interface: fe80::1%eth0), or an\n"
             "interface of this host: every address it holds, both families"},
    {.Id = Read, .Name = "read", .Kind = K::Text, .FrontEnds = ForReport | ForWindow, .Value = "FILE",
     .Help = "count a pcap or pcapng file instead of the live interface", .Noun = "a file name",
     .Misplaced = "--serve captures live; --read is for --report"},
    {.Id = Seconds, .Name = "seconds", .Kind = K::Seconds, .FrontEnds = ForHeadless, .Value = "N",
     .Help = "capture live for N seconds (--serve: stop after N seconds)", .Low = 0, .High = MaxSeconds},
    {.Id = Json, .Name = "json", .Kind = K::None, .FrontEnds = ForHeadless, .Value = {},
     .Help = "print the totals as one line of JSON"},
    {.Id = Every, .Name = "every", .Kind = K::Seconds, .FrontEnds = ForReport, .Value = "SECONDS",
     .Help = "with --report --json: also a JSON line of the figures so far and\n"
             "of the interval, every SECONDS",
     .Low = 1, .High = MaxSeconds, .Misplaced = "--every is for --report; --serve answers whenever it is asked"},
    {.Id = Top, .Name = "top", .Kind = K::Count, .FrontEnds = ForServe, .Value = "K",
     .Help = "with --serve: bytes of the K remote addresses with the most bytes\n"
             "(default 20, at most 1000); /report.json lists those K",
     .Low = 0, .High = MaxTopAddresses},
    {.Id = AllowHost, .Name = "allow-host", .Kind = K::HostName, .FrontEnds = ForServe, .Value = "NAME",
     .Help = "with --serve: answer requests for the host name NAME (besides\n"
             "the address served on and localhost); repeatable. A loopback\n"
             "listener answers only those; other listeners answer any name\n"
             "unless this is given"},
    {.Id = WebConfig, .Name = "web-config", .Kind = K::Text, .FrontEnds = ForServe, .Value = "FILE",
     .Help = "with --serve: answer only the users of a YAML file\n"
             "(basic_auth_users: NAME: BCRYPT-HASH) who give their password",
     .Noun = "a file name"},
    {.Id = User, .Name = "user", .Kind = K::Text, .FrontEnds = ForHeadless, .Value = "NAME",
     .Help = "with --report or --serve started as root: the user it goes on\n"
             "as once the capture is open (default nobody; not root)",
     .Noun = "a user name"},
    {.Id = NoPrograms, .Name = "no-programs", .Kind = K::None, .FrontEnds = ForEvery, .Value = {},
     .Help = "do not find which program of this host sent or received the\n"
             "traffic (no per-program table, \"programs\" or program series)"},
    {.Id = Names, .Name = "names", .Kind = K::None, .FrontEnds = ForHeadless, .Value = {},
     .Help = "look up the host names of the remote addresses (reverse DNS,\n"
             "\"name\" on the JSON address rows); the look-ups are DNS\n"
             "traffic of their own, and are counted"},
    {.Id = NoNames, .Name = "no-names", .Kind = K::None, .FrontEnds = ForWindow, .Value = {},
     .Help = "do not look up the host names of the remote addresses\n"
             "(the menu turns it on again)"},
    {.Id = Help, .Name = "help", .Kind = K::None, .FrontEnds = ForEvery, .Value = {}, .Help = "this text"},
    {.Id = Version, .Name = "version", .Kind = K::None, .FrontEnds = ForEvery, .Value = {},
     .Help = "the program's name and version"},
};

constexpr std::array<std::string_view, 22> WithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "style", "stylesheet", "display", "geometry", "title", "name", "visual",
    "ncols", "cmap", "im", "inputstyle", "qmljsdebugger", "fn", "font"};
constexpr std::array<std::string_view, 6> Alone = {"reverse", "widgetcount", "sync", "nograb", "dograb",
                                                   "testability"};

// The forms of the usage lines, after the program's name; continuation lines
// keep the indentation of the window program's.
struct TUsageForm {
  TFrontEndSet FrontEnds;
  std::string_view Text;
};
constexpr TUsageForm UsageForms[] = {
    {ForWindow, "[-D] [-S] [(--start ADDR | --read FILE --adapter ADDR) [--quit-after SECONDS]]\n"
                "                [--no-programs] [--no-names]"},
    {ForReport, "--report --adapter ADDR (--read FILE | --seconds N) [--json [--every SECONDS]]\n"
                "                [--user NAME] [--no-programs] [--names]"},
    {ForServe, "--serve [ADDR:]PORT --adapter ADDR [--top K] [--allow-host NAME]... [--user NAME]\n"
               "                [--web-config FILE] [--seconds N] [--json] [--no-programs] [--names]"},
    {ForEvery, "--help | --version"},
};

constexpr std::size_t HelpColumn = 24;

}  // namespace

std::span<const TOptionRow> OptionRows() { return Rows; }
std::span<const std::string_view> ToolkitOptionsWithValue() { return WithValue; }
std::span<const std::string_view> ToolkitOptionsAlone() { return Alone; }

std::string SynopsisText(std::string_view program, TFrontEndSet frontEnds) {
  std::string text;
  for (const TUsageForm& form : UsageForms) {
    if (!(form.FrontEnds & frontEnds)) continue;
    text += text.empty() ? "usage: " : "       ";
    text.append(program).append(" ").append(form.Text).append("\n");
  }
  return text;
}

std::string HelpText(std::string_view program, TFrontEndSet frontEnds) {
  std::string text = SynopsisText(program, frontEnds);
  for (const TOptionRow& row : Rows) {
    if (row.Help.empty() || !(row.FrontEnds & frontEnds)) continue;
    std::string line = "  ";
    line.append(row.Kind == TValueKind::Switch ? "-" : "--").append(row.Name);
    if (!row.Value.empty()) line.append(" ").append(row.Value);
    line.resize(std::max(line.size() + 2, HelpColumn), ' ');
    for (std::size_t start = 0; start < row.Help.size();) {
      const std::size_t end = std::min(row.Help.find('\n', start), row.Help.size());
      if (start > 0) line.append(HelpColumn, ' ');
      line.append(row.Help.substr(start, end - start)).append("\n");
      start = end + 1;
    }
    text += line;
  }
  return text + "The report and the endpoint need no display.\n";
}
