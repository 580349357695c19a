#pragma once
// What the engine reads of a datagram of either family: its version, length,
// addresses, upper-layer protocol and ports. IPv4 keeps its own rules (see
// PacketBytes.h); an IPv6 datagram's upper layer is found behind its
// extension headers.
#include <cstddef>
#include <cstdint>

#include "capture/backend/IpAddress.h"
#include "capture/backend/PacketBytes.h"

inline constexpr std::size_t Ipv6HeaderBytes = 40;

inline std::uint8_t IpVersion(const TPacketView& p) noexcept { return static_cast<std::uint8_t>(p.U8(0) >> 4); }
// 40 plus the payload length field; a jumbogram's 0 gives 40.
inline std::int32_t Ipv6TotalLength(const TPacketView& p) noexcept { return 40 + p.BE16(4); }
inline TIpAddress Ipv6SourceAddr(const TPacketView& p) noexcept {
  std::uint8_t b[16];
  for (std::size_t i = 0; i < 16; ++i) b[i] = p.U8(8 + i);
  return TIpAddress::V6(b);
}
inline TIpAddress Ipv6DestAddr(const TPacketView& p) noexcept {
  std::uint8_t b[16];
  for (std::size_t i = 0; i < 16; ++i) b[i] = p.U8(24 + i);
  return TIpAddress::V6(b);
}

// The upper layer of an IPv6 datagram.
struct TIpv6Upper {
  std::uint8_t Protocol = 0;  // the first next-header value that is no extension header walked
  std::size_t Offset = 0;     // where that header starts
  bool HasPorts = false;      // TCP or UDP, first fragment, four port bytes present
  std::uint16_t Source = 0;
  std::uint16_t Dest = 0;
};

// Walks hop-by-hop (0), routing (43) and destination options (60), each
// (length + 1) * 8 bytes; AH (51), (length + 2) * 4; fragment (44), 8 bytes.
// A fragment with a non-zero offset has no ports. A walk that runs out of
// bytes stops at the extension header it could not read.
inline TIpv6Upper Ipv6UpperLayer(const TPacketView& p) noexcept {
  TIpv6Upper upper;
  std::uint8_t next = p.U8(6);
  std::size_t at = Ipv6HeaderBytes;
  bool laterFragment = false;
  for (;;) {
    std::size_t size = 0;
    if (next == 0 || next == 43 || next == 60)
      size = (static_cast<std::size_t>(p.U8(at + 1)) + 1) * 8;
    else if (next == 51)
      size = (static_cast<std::size_t>(p.U8(at + 1)) + 2) * 4;
    else if (next == 44)
      size = 8;
    else
      break;
    if (at + 2 > p.Length()) break;
    if (next == 44 && (p.BE16(at + 2) & 0xfff8) != 0) laterFragment = true;
    next = p.U8(at);
    at += size;
  }
  upper.Protocol = next;
  upper.Offset = at;
  if ((next == 6 || next == 17) && !laterFragment && at + 4 <= p.Length()) {
    upper.HasPorts = true;
    upper.Source = p.BE16(at);
    upper.Dest = p.BE16(at + 2);
  }
  return upper;
}
