// Any reply a server may send reads without harm: a name only with a named
// answer, never empty nor longer than a host name, and no TTL below -1.
#include <cstddef>
#include <cstdint>

#include "names/PtrReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TNameAnswer answer = ParsePtrReply(data, size);
  const bool named = answer.Kind == TNameAnswer::TKind::Named;
  if (named != !answer.Name.empty() || answer.Name.size() > 253 || answer.TtlSeconds < -1) __builtin_trap();
  return 0;
}
