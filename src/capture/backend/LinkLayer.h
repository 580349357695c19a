#pragma once
// Finding the IP datagram inside a captured link-layer frame.
#include <cstddef>
#include <cstdint>

// Link-layer types as the capture library reports them on Linux.
enum class TLinkType : int {
  Null = 0,         // BSD loopback: 4-byte address family in host order
  Ethernet = 1,     // with any number of 802.1Q / 802.1ad tags
  Raw = 12,         // the frame is the IP datagram, of either family
  Loop = 108,       // like Null, family in network order
  LinuxCooked = 113,
  Ipv4 = 228,
  Ipv6 = 229,
  LinuxCooked2 = 276,
};

// True when the link type is one the engine decodes.
bool IsSupportedLinkType(int linkType) noexcept;

// When Frame holds an IPv4 datagram, sets Offset to where its header starts
// and Length to the datagram's bytes present in the frame (link padding
// behind the datagram's own total length cut off) and returns true. Frames
// of other protocols, and frames too short to tell, give false.
bool LocateIpv4(int linkType, const std::uint8_t* Frame, std::size_t FrameLength, std::size_t& Offset,
                std::size_t& Length) noexcept;
// The same for a datagram of either family (IPv6 cut at 40 plus its payload
// length).
bool LocateIp(int linkType, const std::uint8_t* Frame, std::size_t FrameLength, std::size_t& Offset,
              std::size_t& Length) noexcept;
