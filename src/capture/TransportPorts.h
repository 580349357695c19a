#pragma once
// The real ports of a TCP or UDP datagram, read behind its IP header as the
// header length gives it (unlike the categories' fixed offsets), for finding
// the socket that sent or received it.
#include <cstdint>

#include "capture/backend/PacketBytes.h"

struct TTransportPorts {
  std::uint8_t Protocol = 0;
  std::uint16_t Source = 0;
  std::uint16_t Dest = 0;
  bool operator==(const TTransportPorts&) const = default;
};

// Datagram: the bytes received of it. Ports are 0 for other protocols, later
// fragments, and datagrams whose port bytes were not all received.
inline TTransportPorts TransportPorts(const TPacketView& Datagram) noexcept {
  TTransportPorts ports;
  ports.Protocol = IpProtocol(Datagram);
  if (ports.Protocol != 6 && ports.Protocol != 17) return ports;
  const std::size_t headerBytes = static_cast<std::size_t>(Datagram.U8(0) & 0x0f) * 4;
  const bool laterFragment = (Datagram.BE16(6) & 0x1fff) != 0;
  if (headerBytes < 20 || laterFragment || headerBytes + 4 > Datagram.Length()) return ports;
  ports.Source = Datagram.BE16(headerBytes);
  ports.Dest = Datagram.BE16(headerBytes + 2);
  return ports;
}
