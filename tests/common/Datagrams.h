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
