// This process's figures on Linux, from /proc/self and the clocks.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "headless/MetricsText.h"

TProcessFigures ReadProcessFigures() {
  TProcessFigures p;
  // /proc/self/stat: the name in parentheses may hold blanks and parentheses
  // itself, so the fields are counted from its last ')'.
  std::ifstream statFile("/proc/self/stat");
  std::ostringstream whole;
  whole << statFile.rdbuf();
  const std::string stat = std::move(whole).str();
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return p;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> f{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
  // Fields 3 on: utime is 14, stime 15, starttime 22, vsize 23, rss 24.
  if (f.size() < 22) return p;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  const auto field = [&](std::size_t number) { return std::strtoll(f[number - 3].c_str(), nullptr, 10); };
  p.CpuSeconds = static_cast<double>(field(14) + field(15)) / tick;
  p.VirtualBytes = field(23);
  p.ResidentBytes = field(24) * sysconf(_SC_PAGESIZE);
  // The start is counted from boot. The service unit hides /proc/stat and
  // its boot time, so the boot is found from the clocks instead.
  timespec now{}, sinceBoot{};
  clock_gettime(CLOCK_REALTIME, &now);
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  const auto seconds = [](const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  p.StartTimeSeconds = seconds(now) - seconds(sinceBoot) + static_cast<double>(field(22)) / tick;
  std::error_code error;
  for (std::filesystem::directory_iterator fd("/proc/self/fd", error), end; !error && fd != end; fd.increment(error))
    ++p.OpenFds;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    p.MaxFds = static_cast<std::int64_t>(std::min<rlim_t>(limit.rlim_cur, INT64_MAX));
  p.Known = true;
  return p;
}

