#pragma once
// Sorting a datagram into its service category, and counting it.
#include <cstdint>

#include "capture/XIoctlUnit.h"
#include "capture/backend/PacketBytes.h"

// The category of a datagram of the given protocol and ports, seen in
// direction (0 sent, 1 received). When both sides use service ports the
// remote side decides.
constexpr ServiceCategory ClassifyService(std::uint8_t protocol, std::uint16_t sourcePort,
                                          std::uint16_t destPort, std::uint8_t direction) noexcept {
  using enum ServiceCategory;
  const bool sent = direction == DirectionSent;
  const std::uint16_t remote = sent ? destPort : sourcePort;
  const std::uint16_t local = sent ? sourcePort : destPort;
  const auto netBios = [](std::uint16_t port) { return port >= 137 && port <= 139; };
  switch (protocol) {
    case 1:
      return Icmp;
    case 6: {
      const auto tcp = [&](std::uint16_t port, bool client) -> int {
        if (port == 80) return client ? 5 : 4;
        if (port == 20 || port == 21) return client ? 7 : 6;
        if (port == 23) return client ? 9 : 8;
        if (port == 25) return client ? 13 : 12;
        if (port == 110) return client ? 11 : 10;
        if (netBios(port)) return client ? 15 : 14;
        return 0;
      };
      if (int c = tcp(remote, true)) return static_cast<ServiceCategory>(c);
      if (int c = tcp(local, false)) return static_cast<ServiceCategory>(c);
      return Sonota;
    }
    case 17:
      if (remote == 53) return DnsClient;
      if (netBios(remote)) return NetBiosClient;
      if (local == 53) return DnsServer;
      if (netBios(local)) return NetBiosServer;
      return Sonota;
    default:
      return Sonota;
  }
}

// Counts the datagram in State.RecvBuffer, of length State.CurLength, in
// direction: category 0 and its own category. Sets CurDirection and
// CurCategory. Capture thread.
void CountPacket(TXIoctl& State, std::uint8_t direction) noexcept;
// The same for the datagram Datagram.
void CountPacket(TXIoctl& State, std::uint8_t direction, const TPacketView& Datagram) noexcept;
// The same with the protocol and ports to classify by given.
void CountPacket(TXIoctl& State, std::uint8_t direction, std::uint8_t protocol, std::uint16_t sourcePort,
                 std::uint16_t destPort) noexcept;
