#include "names/NameResolver.h"

std::string ReverseQueryName(const TIpAddress& addr) {
  static constexpr char Hex[] = "0123456789abcdef";
  const std::uint8_t* bytes = addr.Bytes();
  std::string name;
  if (!addr.IsV6()) {
    for (int i = 3; i >= 0; --i) name += std::to_string(bytes[i]) + '.';
    return name + "in-addr.arpa";
  }
  for (int i = 15; i >= 0; --i) {
    name += Hex[bytes[i] & 0xf];
    name += '.';
    name += Hex[bytes[i] >> 4];
    name += '.';
  }
  return name + "ip6.arpa";
}
