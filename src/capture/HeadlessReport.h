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
};
void WriteReportJson(const TReportFigures& Figures, std::ostream& Out);
void WriteReportText(const TReportFigures& Figures, std::ostream& Out);
