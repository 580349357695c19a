#include "capture/backend/IpAddress.h"

#include <platform/Sockets.h>

std::string TIpAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(Six ? AF_INET6 : AF_INET, Bytes_.data(), text, sizeof text);
  return text;
}

bool TIpAddress::Parse(std::string_view text, TIpAddress& address, std::string* scope) {
  std::string plain(text);
  std::string zone;
  if (const auto percent = plain.find('%'); percent != std::string::npos) {
    zone = plain.substr(percent + 1);
    plain.resize(percent);
    if (zone.empty()) return false;
  }
  std::uint8_t bytes[16] = {};
  if (zone.empty() && inet_pton(AF_INET, plain.c_str(), bytes) == 1) {
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    address = V4(v);
  } else if (inet_pton(AF_INET6, plain.c_str(), bytes) == 1) {
    address = V6(bytes);
  } else {
    return false;
  }
  if (scope) *scope = zone;
  return true;
}
