// This process's figures on Windows, from its times, memory counters and
// handle count.
#include <windows.h>
#include <psapi.h>

#include <cstdint>

#include "headless/MetricsText.h"

namespace {

// 100 ns units since 1601 to seconds since 1970.
double UnixSeconds(const FILETIME& t) {
  const auto ticks = (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  return static_cast<double>(ticks) / 1e7 - 11644473600.0;
}

double Seconds(const FILETIME& t) {
  return static_cast<double>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
}

}  // namespace

TProcessFigures ReadProcessFigures() {
  TProcessFigures p;
  const HANDLE self = GetCurrentProcess();
  FILETIME created{}, exited{}, kernel{}, user{};
  PROCESS_MEMORY_COUNTERS memory{};
  DWORD handles = 0;
  if (!GetProcessTimes(self, &created, &exited, &kernel, &user) ||
      !GetProcessMemoryInfo(self, &memory, sizeof memory) || !GetProcessHandleCount(self, &handles))
    return p;
  p.CpuSeconds = Seconds(kernel) + Seconds(user);
  p.ResidentBytes = static_cast<std::int64_t>(memory.WorkingSetSize);
  p.VirtualBytes = static_cast<std::int64_t>(memory.PagefileUsage);
  p.OpenFds = handles;
  // Handles have no per-process limit to speak of.
  p.MaxFds = 0;
  p.StartTimeSeconds = UnixSeconds(created);
  p.Known = true;
  return p;
}
