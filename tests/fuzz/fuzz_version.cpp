// Any bytes as a version block: read or refused without harm.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/VersionInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TVersionInfo info = TVersionInfo::FromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (info.Size() == 0 && !info.Tables().empty()) __builtin_trap();
  for (auto key : VersionKeys) (void)info.Query(VersionTableName, key);
  return 0;
}
