#pragma once
// One capture without a window, then its totals as text or JSON:
//   wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json]
#include <iosfwd>
#include <string>
#include <vector>

#include "capture/AddrTotals.h"
#include "capture/XIoctlUnit.h"

// True when the arguments ask for the headless report.
bool WantsHeadlessReport(const std::vector<std::string>& Args);

// Runs the report; returns the process exit code (0 done, 1 failed, 2 bad
// arguments). Messages go to Err.
int RunHeadlessReport(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

// The report of a finished capture.
struct TReportFigures {
  std::string Adapter;
  const TXIoctl* State = nullptr;
  const TAddrTotalsTable* Addresses = nullptr;
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
