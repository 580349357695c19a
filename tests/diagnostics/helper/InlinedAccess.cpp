// Built with optimisation (see src/diagnostics/CMakeLists.txt), so the
// standard library's smart pointer accessors are inlined here: a fault in
// them must still be reported at this file's line.
#include "InlinedAccess.h"

int ReadGauge(const TPanel* Panel) {
  return Panel->Gauge ? Panel->Gauge->Value : -1;  // MARK:inlined
}
