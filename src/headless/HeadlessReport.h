#pragma once
// One capture without a window, then its totals as text or JSON:
//   wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json [--every SECONDS]]
#include <iosfwd>

#include "support/ProgramOptions.h"

// Runs the report; returns the process exit code (0 done, 1 failed). Messages
// go to Err.
int RunHeadlessReport(const TLongOptions& Options, std::ostream& Out, std::ostream& Err);
