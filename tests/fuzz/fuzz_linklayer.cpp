// Any captured frame of any link type: the datagram found, if any, lies
// inside the frame and starts with an IPv4 header.
#include <cstddef>
#include <cstdint>

#include "capture/backend/LinkLayer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const int types[] = {0, 1, 12, 108, 113, 228, 276, 105};
  const int linkType = types[data[0] % (sizeof types / sizeof types[0])];
  std::size_t offset = 0, length = 0;
  if (!LocateIpv4(linkType, data + 1, size - 1, offset, length)) return 0;
  if (offset + length > size - 1 || length == 0) __builtin_trap();
  if ((data[1 + offset] >> 4) != 4) __builtin_trap();
  return 0;
}
