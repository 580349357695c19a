#pragma once
// The report of a capture: its figures copied out of the engine, as text, as
// one JSON object, and as the interval lines of --every. Shared by the window
// and the front ends without one.
#include <nlohmann/json.hpp>

#include <array>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/AddrTotals.h"
#include "capture/PortTotals.h"
#include "capture/ProgramTotals.h"
#include "capture/XIoctlUnit.h"

// The version of the report object's layout, "schema" in it: raised when a
// member changes meaning or goes.
inline constexpr int ReportSchema = 2;

// Each category as two names a script or a query can type: the service, and
// whether the watched address was its server or its client (none for ICMP and
// for everything else). Index 0, ALL, is their sum and has none.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, ServiceCategoryCount> CategoryLabels = {{
    {"", ""},           {"icmp", ""},       {"dns", "server"},    {"dns", "client"},  {"http", "server"},
    {"http", "client"}, {"ftp", "server"},  {"ftp", "client"},    {"telnet", "server"}, {"telnet", "client"},
    {"pop3", "server"}, {"pop3", "client"}, {"smtp", "server"},   {"smtp", "client"}, {"netbios", "server"},
    {"netbios", "client"}, {"other", ""},
}};

// A category's name as the window shows it, without the blank one of them
// ends with there.
std::string_view CategoryName(std::size_t Category);

// The figures of a capture, copied out of it so they can be written on any
// thread.
struct TFiguresSnapshot {
  std::int64_t TotalPackets = 0;
  std::int64_t TotalBytes = 0;
  CategoryCounters Counters{};
  TCaptureStats Kernel;
  std::vector<AddrTotals> Addresses;  // address order
  // The host name of each of Addresses, "" when not known; empty when names
  // are not looked up.
  std::vector<std::string> AddressNames;
  // Remote addresses seen, where Addresses lists only some of them.
  std::int64_t RemoteAddresses = 0;
  // Traffic per program of this host, when it was put down to programs.
  bool HasPrograms = false;
  std::vector<ProgramTotals> Programs;  // program order
  // Traffic per transport and service port, in port order.
  std::vector<PortTotals> Ports;
  // When a live capture started (Unix milliseconds), and how long it has run
  // or ran; 0 and -1 when not known (a file, the window).
  std::int64_t StartUnixMillis = 0;
  double DurationSeconds = -1;
};

// The report of a capture, as the window's --quit-after gives it.
struct TReportFigures {
  std::string Adapter;
  const TXIoctl* State = nullptr;
  const TAddrTotalsTable* Addresses = nullptr;
  const TProgramTotalsTable* Programs = nullptr;  // none: not put down to programs
  // The host name of an address as the window shows it; none: not looked up.
  std::function<std::string(const TIpAddress&)> HostName;
  const TPortTotalsTable* Ports = nullptr;
  bool Live = false;
  TCaptureStats Kernel;
  // The window in debug mode adds what became of the packet dumps and, for
  // benchmarks, how long queued clicks waited.
  bool HasDumps = false;
  std::uint64_t DumpsWritten = 0;
  std::uint64_t DumpsSkipped = 0;
  int Clicks = 0;
  double ClickMedianMs = 0;
  double ClickMaxMs = 0;
};
void WriteReportJson(const TReportFigures& Figures, std::ostream& Out);
void WriteReportText(const TReportFigures& Figures, std::ostream& Out);
// The text report of a snapshot: totals, a row per category, a row per address.
void WriteFiguresText(const std::string& Adapter, bool Live, const TFiguresSnapshot& Figures, std::ostream& Out);

// The report object as one line: adapter, totals, the 17 counters of each
// direction and kind in category order, the kernel's drops (live captures),
// and a row per remote address, per program and per service port.
std::string ReportJsonLine(const std::string& Adapter, bool Live, const TFiguresSnapshot& Figures);
// A JSON value as one line, the way every JSON of the program is written.
std::string JsonLine(const nlohmann::ordered_json& Value);

// The JSON line --every writes: the figures so far, those of the interval
// since Previous, and its bytes per second.
nlohmann::ordered_json IntervalJson(const std::string& Adapter, const TFiguresSnapshot& Now,
                                    const TFiguresSnapshot& Previous, double IntervalSeconds,
                                    std::int64_t UnixMillis);
