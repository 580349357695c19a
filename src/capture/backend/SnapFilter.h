#pragma once
// The capture helper's kernel socket filter: it keeps of each frame only the
// bytes the counting reads, so nothing else of other people's traffic ever
// leaves the kernel.
//   - an IPv4 datagram from or to a watched address: the link header, the IP
//     header with its options, and the four port bytes behind it (at least
//     the first 24 bytes of the datagram, which the counting reads whatever
//     the header length);
//   - an IPv6 datagram from or to a watched address: the link header, the
//     fixed header, the extension headers and the four bytes behind them. A
//     classic filter cannot loop, so the walk is unrolled: it follows at most
//     Ipv6FilterWalk extension headers (hop-by-hop, routing, destination
//     options, AH, fragment) and keeps four bytes behind the last one it
//     followed; a later fragment keeps its fragment header and nothing
//     behind it; a datagram cut inside its headers is kept as it came;
//   - with Whole, a watched address's datagrams whole;
//   - any other datagram: the link header and the fixed IP header (20 bytes
//     for IPv4, 40 for IPv6: the length and addresses are all the counting
//     needs);
//   - anything else: nothing.
#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/backend/IpAddress.h"

inline constexpr int Ipv6FilterWalk = 8;

// The program for a live capture of the given link type, as the kernel sees
// the frames (a cooked capture's kernel frames start at the IP header), for
// the watched addresses of either family. Empty for a link type it cannot
// read, or for more addresses than one program can test.
std::vector<sock_filter> SnapFilterProgram(int LinkType, std::span<const TIpAddress> Addresses, bool Whole);
inline std::vector<sock_filter> SnapFilterProgram(int LinkType, const TIpAddress& Address, bool Whole) {
  return SnapFilterProgram(LinkType, std::span<const TIpAddress>(&Address, 1), Whole);
}

// Attaches the program to the capture socket Fd. With Lock, locks it there,
// so that nothing the process does later can widen what it sees. False with
// Error.
bool AttachSnapFilter(int Fd, int LinkType, std::span<const TIpAddress> Addresses, bool Whole, std::string& Error,
                      bool Lock = true);

// The same rule on a frame as libpcap hands it over: the bytes to keep of
// it, 0 when none. Cuts what reached the ring before the filter was attached.
std::size_t SnapLength(int LinkType, const std::uint8_t* Frame, std::size_t FrameLength,
                       std::span<const TIpAddress> Addresses, bool Whole) noexcept;
inline std::size_t SnapLength(int LinkType, const std::uint8_t* Frame, std::size_t FrameLength,
                              const TIpAddress& Address, bool Whole) noexcept {
  return SnapLength(LinkType, Frame, FrameLength, std::span<const TIpAddress>(&Address, 1), Whole);
}
