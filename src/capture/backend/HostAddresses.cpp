#include "capture/backend/HostAddresses.h"

#include <algorithm>

std::vector<std::uint32_t> CaptureAddresses(const std::vector<THostAddress>& Addresses, std::size_t Limit) {
  std::vector<std::uint32_t> result;
  for (bool loopback : {false, true}) {
    for (const auto& a : Addresses) {
      if (!a.Up || a.Loopback != loopback) continue;
      if (loopback && result.size() >= Limit) break;
      if (std::find(result.begin(), result.end(), a.Addr) == result.end()) result.push_back(a.Addr);
    }
  }
  return result;
}

std::string InterfaceOwning(const std::vector<THostAddress>& Addresses, std::uint32_t Addr) {
  // An interface that is up wins over one that is down with the same address.
  std::string down;
  for (const auto& a : Addresses) {
    if (a.Addr != Addr) continue;
    if (a.Up) return a.Interface;
    if (down.empty()) down = a.Interface;
  }
  return down;
}
