// The long options: which front end they choose, and the one-line reasons
// and exit codes for the ones that make no sense.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "common/TestNetwork.h"
#include "app/CommandLine.h"

namespace {

const char* NoEnvironment(const char*) { return nullptr; }

TEST(CommandLineTest, ChoosesTheFrontEnd) {
  struct TCase {
    std::vector<std::string> Args;
    TRunMode Mode;
  };
  const TCase cases[] = {
      {{}, TRunMode::Window},
      {{"-D", "-S", "-platform", "offscreen"}, TRunMode::Window},  // the switches and the toolkit's own
      {{"--platform", "offscreen", "--style=fusion"}, TRunMode::Window},
      {{"--start", "10.0.0.2", "--quit-after", "3"}, TRunMode::Window},
      {{"--read", "f.pcap", "--adapter", "10.0.0.2", "--quit-after", "3"}, TRunMode::Window},
      {{"--report", "--adapter", "10.0.0.2", "--read", "f.pcap"}, TRunMode::Report},
      {{"--report", "--adapter=10.0.0.2", "--seconds=5", "--json", "--every", "1"}, TRunMode::Report},
      {{"--serve", "9100", "--adapter", "10.0.0.2"}, TRunMode::Serve},
      {{"--serve", "0.0.0.0:9100", "--adapter", "10.0.0.2", "--top", "0", "--seconds", "9", "--json"}, TRunMode::Serve},
      {{"--bogus", "--help"}, TRunMode::Help},  // help wins over everything
      {{"--report", "--version"}, TRunMode::Version},
  };
  for (const auto& c : cases) {
    TLongOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(c.Args, options, error)) << error;
    EXPECT_EQ(options.Mode, c.Mode) << (c.Args.empty() ? "" : c.Args.front());
  }
}

// The switches count by their second character; the toolkit's options, and
// their values, are not ours.
TEST(CommandLineTest, TheSwitchesAndTheToolkitsOptions) {
  struct TCase {
    std::vector<std::string> Args;
    bool Debug, Limit;
  };
  const TCase cases[] = {
      {{}, false, false},           {{"-D"}, true, false},          {{"-d"}, true, false},
      {{"-s"}, false, true},        {{"-D", "-S"}, true, true},     {{"-DS"}, true, false},
      {{"-Debug"}, true, false},    {{"/D"}, false, false},         {{"D"}, false, false},
      {{"-"}, false, false},        {{"-x", "-S", "-S"}, false, true},  {{"--D"}, false, false},
      {{"-display", ":0", "-D"}, true, false},
      {{"-session", "1234_5", "-sync", "-S"}, false, true},
      {{"-style", "fusion", "-stylesheet=x.qss", "--platform", "offscreen"}, false, false},
      {{"--start", "10.0.0.2", "--quit-after", "5", "-d"}, true, false},
      {{"-D", "-style"}, true, false},  // a value-taking option at the end has nothing more to take
      {{"-styles", "-sessionX"}, false, true},  // only whole names are the toolkit's
  };
  for (const auto& c : cases) {
    TLongOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(c.Args, options, error)) << error;
    EXPECT_EQ(options.Mode, TRunMode::Window);
    EXPECT_EQ(options.Debug, c.Debug) << testing::PrintToString(c.Args);
    EXPECT_EQ(options.DumpLimit, c.Limit) << testing::PrintToString(c.Args);
  }
}

TEST(CommandLineTest, KeepsTheValues) {
  TLongOptions options;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(
      {"--serve", "9100", "--adapter", "10.0.0.2", "--top", "7", "--seconds", "30", "--user", "daemon"}, options,
      error));
  EXPECT_EQ(options.User, "daemon");
  EXPECT_EQ(options.ListenAddress, "127.0.0.1");  // loopback unless named
  EXPECT_EQ(options.ListenPort, 9100);
  EXPECT_EQ(options.Top, 7);
  EXPECT_EQ(options.Seconds, 30);
  ASSERT_TRUE(ParseCommandLine({"--serve", "9100", "--adapter", "10.0.0.2", "--allow-host", "a.example",
                                "--allow-host=b.example"}, options, error));
  EXPECT_EQ(options.AllowHosts, (std::vector<std::string>{"a.example", "b.example"}));
  ASSERT_TRUE(ParseCommandLine({"--report", "--adapter", "10.0.0.2", "--seconds", "10", "--json", "--every=2"},
                               options, error));
  EXPECT_EQ(options.Every, 2);
  EXPECT_TRUE(options.Json);
  EXPECT_EQ(options.Top, 20);  // the default
  ASSERT_TRUE(ParseCommandLine({"--start", "10.0.0.2"}, options, error));
  EXPECT_EQ(options.Start, "10.0.0.2");
  EXPECT_EQ(options.QuitAfter, -1);
}

TEST(CommandLineTest, BadArgumentsGiveAReasonTheUsageAndExitCode2) {
  struct TCase {
    std::vector<std::string> Args;
    const char* Says;
  };
  const TCase cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--"}, "unknown option '--'"},
      {{"--start"}, "--start needs a value"},
      {{"--report", "--adapter"}, "--adapter needs a value"},
      {{"--json"}, "--json needs --report or --serve"},
      {{"--quit-after", "3"}, "--quit-after needs --start or --read"},
      {{"--read", "f.pcap"}, "--adapter is missing"},
      {{"--adapter", "10.0.0.2"}, "--adapter needs --read, --report or --serve"},
      {{"--read", "f.pcap", "--adapter", "host"}, "needs an IPv4 address, not 'host'"},
      {{"--start", "10.0.0.2", "--read", "f.pcap", "--adapter", "10.0.0.2"}, "do not go together"},
      {{"--start", "10.0.0.2", "--quit-after", "-1"}, "whole number"},
      {{"--report", "--serve", "9100", "--adapter", "10.0.0.2"}, "do not go together"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "3", "--start", "x"}, "--start is for the window"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "3", "--every", "1"}, "--every needs --json"},
      {{"--report", "--adapter", "10.0.0.2", "--read", "f", "--json", "--every", "1"}, "a live capture"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "3", "--json", "--every", "0"}, "from 1 on"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "3", "--top", "5"}, "--top is for --serve"},
      {{"--serve", "9100", "--adapter", "10.0.0.2", "--user="}, "--user needs a user name"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "99999999999"}, "whole number"},
      {{"--report", "--json=yes", "--adapter", "10.0.0.2", "--seconds", "1"}, "--json takes no value"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "3", "--allow-host", "a"}, "--allow-host is for --serve"},
      {{"--serve", "9100", "--adapter", "10.0.0.2", "--allow-host", "a b:1"}, "needs a host name, not 'a b:1'"},
      {{"--serve", "9100"}, "--adapter is missing"},
      {{"--serve", "65536", "--adapter", "10.0.0.2"}, "port from 0 to 65535"},
      {{"--serve", "host.example:80", "--adapter", "10.0.0.2"}, "an IPv4 address to listen on"},
      {{"--serve", "9100", "--adapter", "10.0.0.2", "--read", "f.pcap"}, "--read is for --report"},
      {{"--serve", "9100", "--adapter", "10.0.0.2", "--top", "1001"}, "from 0 to 1000"},
      {{"--serve", "9100", "--adapter", "10.0.0.2", "--json", "--every", "5"}, "--every is for --report"},
  };
  for (const auto& c : cases) {
    TLongOptions options;
    std::ostringstream out, err;
    const auto code = RunCommandLine(c.Args, options, out, err, NoEnvironment);
    ASSERT_TRUE(code.has_value()) << c.Says;
    EXPECT_EQ(*code, 2) << c.Says;
    const std::string text = err.str();
    const std::string first = text.substr(0, text.find('\n'));
    EXPECT_NE(first.find(c.Says), std::string::npos) << first;
    EXPECT_EQ(first.rfind("wirepeek: ", 0), 0u) << first;
    EXPECT_NE(text.find("\nusage: wirepeek"), std::string::npos) << text;
    EXPECT_EQ(out.str(), "");
  }
}

TEST(CommandLineTest, HelpListsEveryOptionAndVersionReadsTheVersionBlock) {
  TLongOptions options;
  std::ostringstream out, err;
  ASSERT_EQ(RunCommandLine({"--help"}, options, out, err, NoEnvironment), 0);
  for (const char* option : {"-D", "-S", "--start", "--quit-after", "--report", "--serve", "--adapter", "--read",
                             "--seconds", "--json", "--every", "--top", "--allow-host", "--user", "--no-programs", "--names", "--no-names", "--help",
                             "--version"})
    EXPECT_NE(out.str().find(std::string("  ") + option + " "), std::string::npos) << option;
  EXPECT_EQ(err.str(), "");

  std::ostringstream version, versionErr;
  // This test program carries the same version block as the program.
  ASSERT_EQ(RunCommandLine({"--version"}, options, version, versionErr, NoEnvironment), 0) << versionErr.str();
  EXPECT_EQ(version.str(), "Wirepeek 1.0.0.0\n");
}

TEST(CommandLineTest, WindowWithoutADisplaySaysSoInsteadOfAborting) {
  TLongOptions options;
  std::ostringstream out, err;
  EXPECT_EQ(RunCommandLine({"-D"}, options, out, err, NoEnvironment), 1);
  const std::string said = err.str();
  EXPECT_NE(said.find("--report and --serve need none"), std::string::npos);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
  std::ostringstream err2;
  EXPECT_EQ(RunCommandLine({"--start", "10.0.0.2"}, options, out, err2,
                           [](const char* name) -> const char* {
                             return std::string(name) == "QT_QPA_PLATFORM" ? "offscreen" : nullptr;
                           }),
            std::nullopt);
  EXPECT_EQ(options.Start, "10.0.0.2");
}

TEST(CommandLineTest, DisplayAvailability) {
  static std::map<std::string, std::string> env;
  const TEnvironment lookup = [](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  struct TCase {
    std::map<std::string, std::string> Env;
    bool Available;
  };
  const TCase cases[] = {
      {{}, false},
      {{{"QT_QPA_PLATFORM", "offscreen"}}, true},
      {{{"QT_QPA_PLATFORM", "xcb"}}, false},                 // and no DISPLAY
      {{{"WAYLAND_DISPLAY", "wayland-0"}}, true},
      {{{"DISPLAY", "remotehost:10.0"}}, true},              // taken on trust
      {{{"DISPLAY", ":4242"}}, false},                      // no such local server
      {{{"DISPLAY", "garbage"}}, false},
      {{{"DISPLAY", ""}}, false},
  };
  for (const auto& c : cases) {
    env = c.Env;
    EXPECT_EQ(DisplayAvailable(lookup), c.Available) << (c.Env.empty() ? "" : c.Env.begin()->second);
  }
  // The toolkit's own option wins over the environment.
  env = {{"QT_QPA_PLATFORM", "xcb"}};
  EXPECT_TRUE(DisplayAvailable(lookup, PlatformOption({"-D", "-platform", "offscreen"})));
  EXPECT_TRUE(DisplayAvailable(lookup, PlatformOption({"--platform=minimal"})));
  env = {{"QT_QPA_PLATFORM", "offscreen"}};
  EXPECT_FALSE(DisplayAvailable(lookup, PlatformOption({"-platform", "xcb"})));
  EXPECT_EQ(PlatformOption({"-platform"}), "");
}

TEST(CommandLineTest, ListenAddresses) {
  struct TCase {
    const char* Text;
    bool Ok;
    const char* Address;
    int Port;
  };
  const TCase cases[] = {
      {"9100", true, "127.0.0.1", 9100},     {":9100", true, "0.0.0.0", 9100},
      {"localhost:80", true, "127.0.0.1", 80}, {"10.1.2.3:0", true, "10.1.2.3", 0},
      {"10.1.2.3:", false, "", 0},           {"10.1.2.3:-1", false, "", 0},
      {"10.1.2.3:+80", false, "", 0},        {"10.1.2.300:80", false, "", 0},
      {"[::1]:80", false, "", 0},            {"", false, "", 0},
  };
  for (const auto& c : cases) {
    std::string address, error;
    int port = -1;
    EXPECT_EQ(ParseListenAddress(c.Text, address, port, error), c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_EQ(address, c.Address);
      EXPECT_EQ(port, c.Port);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

// The programs themselves, as a new user would try them, without a display.
TEST(CommandLineProgram, TheProgramsAnswerWithoutADisplay) {
  struct TCase {
    const char* Program;
    const char* Args;
    int Code;
    const char* Says;  // the start of what it prints (both streams)
  };
  const TCase cases[] = {
#ifdef WIREPEEK_BINARY
      {WIREPEEK_BINARY, "--version", 0, "Wirepeek 1.0.0.0\n"},
      {WIREPEEK_BINARY, "--bogus", 2, "wirepeek: unknown option '--bogus'\nusage: wirepeek"},
      {WIREPEEK_BINARY, "--help", 0, "usage: wirepeek"},
      {WIREPEEK_BINARY, "-D", 1, "wirepeek: no display to show the window on"},
      {WIREPEEK_BINARY, "--report --adapter 10.0.0.2", 2, "wirepeek: give either --read FILE or --seconds N\n"},
#endif
      {WIREPEEK_EXPORTER, "--version", 0, "Wirepeek 1.0.0.0\n"},
      {WIREPEEK_EXPORTER, "", 2, "wirepeek-exporter: give --report or --serve"},
      {WIREPEEK_EXPORTER, "--help", 0, "usage: wirepeek-exporter --report"},
      {WIREPEEK_EXPORTER, "--report --adapter=10.0.0.2 --seconds", 2, "wirepeek: --seconds needs a value\n"},
  };
  for (const auto& c : cases) {
    std::string output;
    const int code = CommandOutput(std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") +
                                       c.Program + " " + c.Args + " 2>&1",
                                   output);
    EXPECT_EQ(code, c.Code) << c.Args << ": " << output;
    EXPECT_EQ(output.rfind(c.Says, 0), 0u) << c.Args << ": " << output;
  }
}

}  // namespace
