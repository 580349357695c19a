#include "capture/backend/HostAddresses.h"

#include <algorithm>

std::vector<TIpAddress> CaptureAddresses(const std::vector<THostAddress>& Addresses, std::size_t Limit) {
  std::vector<TIpAddress> result;
  for (bool six : {false, true}) {
    for (bool loopback : {false, true}) {
      for (const auto& a : Addresses) {
        if (!a.Up || a.Loopback != loopback || a.Addr.IsV6() != six) continue;
        if (loopback && result.size() >= Limit) break;
        if (std::find(result.begin(), result.end(), a.Addr) == result.end()) result.push_back(a.Addr);
      }
    }
  }
  return result;
}

std::string InterfaceOwning(const std::vector<THostAddress>& Addresses, const TIpAddress& Addr) {
  // An interface that is up wins over one that is down with the same address.
  std::string down;
  for (const auto& a : Addresses) {
    if (a.Addr != Addr) continue;
    if (a.Up) return a.Interface;
    if (down.empty()) down = a.Interface;
  }
  return down;
}

std::string ScopedText(const TIpAddress& Addr, const std::string& Interface) {
  if (!Addr.IsLinkLocal() || Interface.empty()) return Addr.Text();
  return Addr.Text() + "%" + Interface;
}

std::vector<TIpAddress> InterfaceAddresses(const std::vector<THostAddress>& Addresses, const std::string& Interface) {
  std::vector<TIpAddress> result;
  for (bool six : {false, true})
    for (const auto& a : Addresses)
      if (a.Interface == Interface && a.Addr.IsV6() == six &&
          std::find(result.begin(), result.end(), a.Addr) == result.end())
        result.push_back(a.Addr);
  return result;
}

std::vector<std::string> CaptureInterfaces(const std::vector<THostAddress>& Addresses) {
  std::vector<std::string> result;
  for (bool loopback : {false, true})
    for (const auto& a : Addresses)
      if (a.Up && a.Loopback == loopback && !a.Interface.empty() &&
          std::find(result.begin(), result.end(), a.Interface) == result.end())
        result.push_back(a.Interface);
  return result;
}
