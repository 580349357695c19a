// Any bytes given as a link map must parse or be refused without harm, and a
// map that parses must answer its lookups consistently.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "diagnostics/LinkMap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto map = TLinkMap::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!map) return 0;
  for (std::size_t i = 0; i + 8 <= size && i < 256; i += 8) {
    std::uint64_t offset;
    std::memcpy(&offset, data + i, 8);
    offset %= 1u << 24;
    TAddressLocation location;
    const bool found = map->Locate(offset, location);
    if (found != !map->ProcedureAt(offset).empty() && found) __builtin_trap();
    if (found && location.ProcedureName != map->ProcedureAt(offset)) __builtin_trap();
    if (map->LineAt(offset) < 0) __builtin_trap();
  }
  return 0;
}
