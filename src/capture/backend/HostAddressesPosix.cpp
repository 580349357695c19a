// The host's IPv4 addresses on Linux: the interface list of the C library.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

#include "capture/backend/HostAddresses.h"

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
