#pragma once
// The capture helper's kernel socket filter: it keeps of each frame only the
// bytes the counting reads, so nothing else of other people's traffic ever
// leaves the kernel.
//   - a datagram from or to the watched address: the link header, the IP
//     header with its options, and the four port bytes behind it (at least
//     the first 24 bytes of the datagram, which the counting reads whatever
//     the header length); with Whole, the whole datagram;
//   - any other IPv4 datagram: the link header and the 20-byte IP header
//     (its total length and addresses are all the counting needs);
//   - anything else: nothing.
#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The program for a live capture of the given link type, as the kernel sees
// the frames (a cooked capture's kernel frames start at the IP header).
// Address in network byte order. Empty for a link type it cannot read.
std::vector<sock_filter> SnapFilterProgram(int LinkType, std::uint32_t Address, bool Whole);

// Attaches the program to the capture socket Fd and locks it there, so that
// nothing the process does later can widen what it sees. False with Error.
bool AttachSnapFilter(int Fd, int LinkType, std::uint32_t Address, bool Whole, std::string& Error);

// The same rule on a frame as libpcap hands it over: the bytes to keep of
// it, 0 when none. Cuts what reached the ring before the filter was attached.
std::size_t SnapLength(int LinkType, const std::uint8_t* Frame, std::size_t FrameLength, std::uint32_t Address,
                       bool Whole) noexcept;
