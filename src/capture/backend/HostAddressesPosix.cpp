// The host's addresses on Linux: the interface list of the C library.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

#include "capture/backend/HostAddresses.h"

const bool WholeInterfaceCapture = true;

bool SystemIpAddresses(std::vector<THostAddress>& Addresses) {
  Addresses.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    THostAddress address;
    if (entry->ifa_addr->sa_family == AF_INET) {
      sockaddr_in inet{};
      std::memcpy(&inet, entry->ifa_addr, sizeof inet);
      address.Addr = TIpAddress::V4(inet.sin_addr.s_addr);
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      sockaddr_in6 inet6{};
      std::memcpy(&inet6, entry->ifa_addr, sizeof inet6);
      address.Addr = TIpAddress::V6(inet6.sin6_addr.s6_addr);
    } else {
      continue;
    }
    address.Interface = entry->ifa_name ? entry->ifa_name : "";
    address.Up = (entry->ifa_flags & IFF_UP) != 0;
    address.Loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    Addresses.push_back(std::move(address));
  }
  freeifaddrs(list);
  return true;
}
