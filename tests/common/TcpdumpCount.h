#pragma once
// Counts what a classic Ethernet capture file (as tcpdump writes it) holds of
// the datagrams of a set of addresses, without the program: the independent
// count the live tests compare the program's with.
#include <arpa/inet.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "common/Files.h"

// Per direction (0 sent, 1 received, as seen from the set): packets, bytes,
// ICMP packets (ICMPv6 behind any extension headers), and bytes per remote
// address; and every IP datagram in the file.
struct TIndependentCount {
  std::int64_t Packets[2] = {}, Bytes[2] = {}, Icmp[2] = {};
  std::map<std::string, std::int64_t> Remote[2];
  std::int64_t TotalPackets = 0, TotalBytes = 0;
};

// A datagram from one address of the set to another counts in both directions.
inline TIndependentCount CountTcpdumpFile(const std::string& path, const std::set<std::string>& ours) {
  const std::string f = ReadWholeFile(path);
  const auto u8 = [&](std::size_t at) -> std::uint32_t { return at < f.size() ? static_cast<std::uint8_t>(f[at]) : 0u; };
  const auto text = [&](int family, std::size_t at) {
    char out[INET6_ADDRSTRLEN] = {};
    return at + 16 <= f.size() ? std::string(inet_ntop(family, f.data() + at, out, sizeof out)) : std::string();
  };
  TIndependentCount count;
  for (std::size_t at = 24, ip = 0; at + 16 <= f.size(); at += 16 + (u8(at + 8) | u8(at + 9) << 8 | u8(at + 10) << 16)) {
    const std::uint32_t type = u8(at + 28) << 8 | u8(at + 29);
    if (type != 0x86DD && type != 0x0800) continue;
    ip = at + 30;
    const bool six = type == 0x86DD;
    const std::string ends[2] = {six ? text(AF_INET6, ip + 8) : text(AF_INET, ip + 12),
                                 six ? text(AF_INET6, ip + 24) : text(AF_INET, ip + 16)};
    std::uint32_t next = six ? u8(ip + 6) : u8(ip + 9);
    for (std::size_t h = ip + 40, size = 0; six && (next == 0 || next == 43 || next == 60 || next == 44); h += size) {
      size = next == 44 ? 8u : (u8(h + 1) + 1u) * 8u;
      next = u8(h);
    }
    const std::int64_t length = six ? 40 + (u8(ip + 4) << 8 | u8(ip + 5)) : (u8(ip + 2) << 8 | u8(ip + 3));
    count.TotalPackets += 1;
    count.TotalBytes += length;
    for (int d = 0; d < 2; ++d) {
      if (!ours.count(ends[d])) continue;
      count.Packets[d] += 1;
      count.Bytes[d] += length;
      count.Icmp[d] += next == (six ? 58u : 1u);
      count.Remote[d][ends[1 - d]] += length;
    }
  }
  return count;
}
