#include "capture/backend/HostAddresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

bool SystemIpv4Addresses(std::vector<THostAddress>& Addresses) {
  Addresses.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in inet{};
    std::memcpy(&inet, entry->ifa_addr, sizeof inet);
    THostAddress address;
    address.Interface = entry->ifa_name ? entry->ifa_name : "";
    address.Addr = inet.sin_addr.s_addr;
    address.Up = (entry->ifa_flags & IFF_UP) != 0;
    address.Loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    Addresses.push_back(std::move(address));
  }
  freeifaddrs(list);
  return true;
}

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
