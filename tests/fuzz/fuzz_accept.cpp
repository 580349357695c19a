// Any bytes as a scraper's Accept header: a format is chosen without harm,
// and the exposition in it is well formed at its end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "headless/MetricsText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view accept(reinterpret_cast<const char*>(data), size);
  const TExpositionFormat format = NegotiateFormat(accept);
  TMetricsContext context;
  context.Adapter = std::string(accept.substr(0, 64));  // any text as a label value
  const std::string text = WriteMetrics(TFiguresSnapshot{}, context, format);
  const bool ends = format == TExpositionFormat::OpenMetrics ? text.ends_with("# EOF\n") : text.ends_with("\n");
  if (!ends || ContentType(format).empty()) __builtin_trap();
  return 0;
}
