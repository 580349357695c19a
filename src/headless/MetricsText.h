#pragma once
// The figures of a capture in the exposition formats a Prometheus server
// scrapes: the text format 0.0.4, and OpenMetrics 1.0 for scrapers that ask
// for it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/Report.h"

// The longest label value, in bytes: longer ones are cut at a whole
// character.
inline constexpr std::size_t MaxLabelValueBytes = 128;

enum class TExpositionFormat { Text, OpenMetrics };

// The format to answer with, from a request's Accept header (empty: none).
TExpositionFormat NegotiateFormat(std::string_view Accept);
// The Content-Type of an answer in Format.
std::string_view ContentType(TExpositionFormat Format);

// The figures of the exporter's own process, as every exporter gives them.
struct TProcessFigures {
  bool Known = false;  // false where /proc/self could not be read
  double CpuSeconds = 0;           // user and system time
  std::int64_t ResidentBytes = 0;
  std::int64_t VirtualBytes = 0;
  std::int64_t OpenFds = 0;
  std::int64_t MaxFds = 0;
  double StartTimeSeconds = 0;     // Unix time the process started
};
// This process's figures, from the system (ProcessFigures.cpp, win/ProcessFiguresWin.cpp).
TProcessFigures ReadProcessFigures();

struct TMetricsContext {
  TProcessFigures Process;
  bool CaptureUp = false;
  std::string Version;          // the product version of the version block
  std::string Adapter;
  double StartTimeSeconds = 0;  // Unix time the capture started
  int Top = 20;                 // remote addresses with the most bytes
};

// The rows of the Top remote addresses with the most bytes (sent and received
// together), most first; ties go to the lower address.
std::vector<AddrTotals> TopAddresses(const std::vector<AddrTotals>& Rows, int Top);

// The exposition. Figures.Addresses holds the listed addresses, of which
// only the top ones get series; RemoteAddresses counts all that were seen.
std::string WriteMetrics(const TFiguresSnapshot& Figures, const TMetricsContext& Context,
                         TExpositionFormat Format);
