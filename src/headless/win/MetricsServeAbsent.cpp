// The endpoint is not part of the Windows build yet: --serve says so and
// ends with the status of a command line that cannot be served.
#include <ostream>

#include "headless/MetricsServe.h"

int RunMetricsServe(const TLongOptions& /*Options*/, std::ostream& /*Out*/, std::ostream& Err) {
  Err << "wirepeek: --serve is not available on Windows; use --report\n";
  return 2;
}
