// The host's IPv4 addresses on Windows: the address list of a raw IPv4
// socket (SIO_ADDRESS_LIST_QUERY), in the order Winsock gives them.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "capture/backend/win/HostAddressesWin.h"

namespace {

constexpr DWORD ReplyBytes = 4096;

}  // namespace

bool HostIpv4Addresses(TWinsockCalls& calls, std::vector<THostAddress>& addresses) {
  addresses.clear();
  if (calls.Startup() != 0) return false;
  // Any IPv4 socket answers the query; a raw one, as the capture opens,
  // where the user may have one, else a datagram socket (Wine, or a user
  // without administrator rights, may not open raw IP sockets).
  SOCKET probe = calls.RawSocket(0);
  if (probe == INVALID_SOCKET) probe = calls.DatagramSocket();
  bool listed = false;
  if (probe != INVALID_SOCKET) {
    std::vector<char> reply(ReplyBytes, 0);
    if (calls.AddressList(probe, reply.data(), ReplyBytes) != SOCKET_ERROR) {
      // A count, then that many (address pointer, length) entries.
      SOCKET_ADDRESS_LIST list{};
      std::memcpy(&list.iAddressCount, reply.data(), sizeof list.iAddressCount);
      const std::size_t room = (ReplyBytes - offsetof(SOCKET_ADDRESS_LIST, Address)) / sizeof(SOCKET_ADDRESS);
      const std::size_t count =
          list.iAddressCount < 0 ? 0 : std::min(static_cast<std::size_t>(list.iAddressCount), room);
      for (std::size_t i = 0; i < count; ++i) {
        SOCKET_ADDRESS entry{};
        std::memcpy(&entry, reply.data() + offsetof(SOCKET_ADDRESS_LIST, Address) + i * sizeof entry, sizeof entry);
        if (!entry.lpSockaddr || entry.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) continue;
        // Only the address behind the family and the port.
        sockaddr_in inet{};
        std::memcpy(&inet, entry.lpSockaddr, sizeof inet);
        THostAddress address;
        address.Addr = inet.sin_addr.s_addr;
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &inet.sin_addr, dotted, sizeof dotted);
        // Winsock names no interface here; the address stands for its own.
        address.Interface = dotted;
        // An interface that is down is listed as 0.0.0.0.
        address.Up = address.Addr != 0;
        address.Loopback = (ntohl(address.Addr.Raw4()) >> 24) == 127;
        addresses.push_back(address);
      }
      listed = true;
    }
    calls.Close(probe);
  }
  calls.Cleanup();
  return listed;
}

// A Winsock capture is bound to one address.
const bool WholeInterfaceCapture = false;

bool SystemIpAddresses(std::vector<THostAddress>& addresses) { return HostIpv4Addresses(SystemWinsock(), addresses); }
