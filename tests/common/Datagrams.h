#pragma once
// Builds IPv4 datagrams byte by byte for the capture tests.
#include <platform/Sockets.h>

#include <cstdint>
#include <string>
#include <vector>

struct TDatagramSpec {
  std::uint8_t Protocol = 6;
  std::string Source = "10.0.0.1";
  std::string Dest = "10.0.0.2";
  std::uint16_t SourcePort = 0;
  std::uint16_t DestPort = 0;
  std::uint16_t TotalLength = 40;  // the header's field
  std::size_t Delivered = 40;      // bytes actually present
};

inline std::uint32_t Addr(const std::string& dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted.c_str(), &a);
  return a.s_addr;
}

inline std::vector<std::uint8_t> MakeDatagram(const TDatagramSpec& s) {
  std::vector<std::uint8_t> d(std::max<std::size_t>(s.Delivered, 24), 0);
  d[0] = 0x45;
  d[2] = static_cast<std::uint8_t>(s.TotalLength >> 8);
  d[3] = static_cast<std::uint8_t>(s.TotalLength);
  d[8] = 64;
  d[9] = s.Protocol;
  const std::uint32_t src = Addr(s.Source), dst = Addr(s.Dest);
  const auto* sb = reinterpret_cast<const std::uint8_t*>(&src);
  const auto* db = reinterpret_cast<const std::uint8_t*>(&dst);
  for (int i = 0; i < 4; ++i) {
    d[static_cast<std::size_t>(12 + i)] = sb[i];
    d[static_cast<std::size_t>(16 + i)] = db[i];
  }
  d[20] = static_cast<std::uint8_t>(s.SourcePort >> 8);
  d[21] = static_cast<std::uint8_t>(s.SourcePort);
  d[22] = static_cast<std::uint8_t>(s.DestPort >> 8);
  d[23] = static_cast<std::uint8_t>(s.DestPort);
  d.resize(s.Delivered);
  return d;
}

// An IPv6 datagram: the fixed header, then Chain (extension headers and the
// upper layer's first bytes) as given, padded with zeros to Delivered.
struct TDatagram6Spec {
  std::uint8_t Next = 6;  // the fixed header's next header
  std::vector<std::uint8_t> Chain;
  std::uint16_t PayloadLength = 0;
  std::string Source = "2001:db8::1";
  std::string Dest = "2001:db8::2";
  std::size_t Delivered = 0;  // 0: the header and Chain
};

using TBytes = std::vector<std::uint8_t>;
inline TBytes operator+(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// An extension header of (Length + 1) * 8 bytes, zeros behind its first two.
inline TBytes Ipv6Options(std::uint8_t next, std::uint8_t length) {
  TBytes h((length + 1u) * 8u, 0);
  h[0] = next;
  h[1] = length;
  return h;
}

inline std::vector<std::uint8_t> MakeDatagram6(const TDatagram6Spec& s) {
  std::vector<std::uint8_t> d(40, 0);
  d[0] = 0x60;
  d[4] = static_cast<std::uint8_t>(s.PayloadLength >> 8);
  d[5] = static_cast<std::uint8_t>(s.PayloadLength);
  d[6] = s.Next;
  d[7] = 64;
  inet_pton(AF_INET6, s.Source.c_str(), d.data() + 8);
  inet_pton(AF_INET6, s.Dest.c_str(), d.data() + 24);
  d.insert(d.end(), s.Chain.begin(), s.Chain.end());
  if (s.Delivered) d.resize(s.Delivered);
  return d;
}
