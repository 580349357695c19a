// The exporter's service unit: systemd accepts it, and it keeps the promises
// the README makes about it (its own unprivileged user with the one capture
// right, restarts, the journal).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "common/TestNetwork.h"
#include "common/Files.h"

namespace {

namespace fs = std::filesystem;

const fs::path kUnit = fs::path(WIREPEEK_SOURCE_DIR) / "data" / "wirepeek-exporter@.service";

std::string ReadUnit() { return ReadWholeFile(kUnit); }

// Key=value lines of the [Service] section.
std::multimap<std::string, std::string> ServiceSettings(const std::string& unit) {
  std::multimap<std::string, std::string> settings;
  std::istringstream lines(unit);
  std::string section;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      section = line;
      continue;
    }
    const auto equals = line.find('=');
    if (section == "[Service]" && equals != std::string::npos)
      settings.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  return settings;
}

TEST(ServiceUnitLive, SystemdAcceptsIt) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze";
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-unit-" + std::to_string(getpid()));
  fs::create_directories(dir);
  // An instance of the template, run from the build instead of /usr/bin.
  std::string unit = ReadUnit();
  ASSERT_NE(unit.find("ExecStart=/usr/bin/wirepeek-exporter "), std::string::npos);
  unit = std::regex_replace(unit, std::regex("/usr/bin/wirepeek-exporter"), WIREPEEK_BINARY);
  const fs::path instance = dir / "wirepeek-exporter@127.0.0.1.service";
  std::ofstream(instance) << unit;
  std::string output, security;
  const int code = CommandOutput("systemd-analyze verify --man=no " + instance.string() + " 2>&1", output);
  // The confinement, as systemd rates it: below 2.0 (0 is a service that can do nothing).
  CommandOutput("systemd-analyze security --offline=true --no-pager " + instance.string() + " 2>&1", security);
  fs::remove_all(dir);
  EXPECT_EQ(code, 0) << output;
  EXPECT_EQ(output, "");
  std::smatch level;
  ASSERT_TRUE(std::regex_search(security, level, std::regex(R"(Overall exposure level for \S+: (\d+\.\d))")))
      << security;
  EXPECT_LT(std::stod(level[1]), 2.0) << security;
}

TEST(ServiceUnitLive, RunsTheEndpointUnprivilegedAndComesBack) {
  const auto settings = ServiceSettings(ReadUnit());
  const auto one = [&](const char* key) {
    const auto range = settings.equal_range(key);
    return std::distance(range.first, range.second) == 1 ? range.first->second : std::string("(not once)");
  };
  // The instance is the address watched; where it is served is a setting.
  EXPECT_TRUE(std::regex_search(one("ExecStart"), std::regex(R"(--serve \$\{WIREPEEK_LISTEN\}:\S+ --adapter %i)")));
  EXPECT_TRUE(std::regex_search(one("Environment"), std::regex(R"((^| )WIREPEEK_LISTEN=%i( |$))")));
  EXPECT_EQ(one("DynamicUser"), "yes");
  EXPECT_EQ(one("AmbientCapabilities"), "CAP_NET_RAW");
  EXPECT_EQ(one("CapabilityBoundingSet"), "CAP_NET_RAW");
  EXPECT_EQ(one("Restart"), "on-failure");
  EXPECT_EQ(one("StandardError"), "journal");
  EXPECT_EQ(settings.count("User"), 0u);
}

}  // namespace
