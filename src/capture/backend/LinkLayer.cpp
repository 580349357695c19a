#include "capture/backend/LinkLayer.h"

#include "capture/backend/PacketBytes.h"

namespace {

constexpr std::uint16_t EtherTypeIpv4 = 0x0800;
constexpr std::uint16_t EtherTypeIpv6 = 0x86DD;
constexpr std::uint16_t EtherTypeVlan = 0x8100;
constexpr std::uint16_t EtherTypeQinQ = 0x88A8;
constexpr std::uint16_t EtherTypeQinQOld = 0x9100;
constexpr std::uint32_t FamilyInet = 2;
// AF_INET6 as Linux, the BSDs and macOS number it in capture files.
bool IsFamilyInet6(std::uint32_t family) { return family == 10 || family == 24 || family == 28 || family == 30; }
bool IsFamily(std::uint32_t family) { return family == FamilyInet || IsFamilyInet6(family); }
bool IsEtherTypeIp(std::uint16_t type) { return type == EtherTypeIpv4 || type == EtherTypeIpv6; }

bool IsVlanTag(std::uint16_t type) {
  return type == EtherTypeVlan || type == EtherTypeQinQ || type == EtherTypeQinQOld;
}

}  // namespace

bool IsSupportedLinkType(int linkType) noexcept {
  switch (static_cast<TLinkType>(linkType)) {
    case TLinkType::Null:
    case TLinkType::Ethernet:
    case TLinkType::Raw:
    case TLinkType::Loop:
    case TLinkType::LinuxCooked:
    case TLinkType::Ipv4:
    case TLinkType::Ipv6:
    case TLinkType::LinuxCooked2:
      return true;
  }
  return false;
}

bool LocateIp(int linkType, const std::uint8_t* Frame, std::size_t FrameLength, std::size_t& Offset,
              std::size_t& Length) noexcept {
  const TPacketView frame(Frame, FrameLength);
  std::size_t offset = 0;
  int declared = 0;  // the version the link layer announces; 0: it does not say
  switch (static_cast<TLinkType>(linkType)) {
    case TLinkType::Raw:
      break;
    case TLinkType::Ipv4:
      declared = 4;
      break;
    case TLinkType::Ipv6:
      declared = 6;
      break;
    case TLinkType::Null: {
      if (FrameLength < 4) return false;
      // Host order of the machine that wrote it: accept either order.
      const std::uint32_t le = static_cast<std::uint32_t>(frame.U8(0)) | (static_cast<std::uint32_t>(frame.U8(1)) << 8) |
                               (static_cast<std::uint32_t>(frame.U8(2)) << 16) |
                               (static_cast<std::uint32_t>(frame.U8(3)) << 24);
      const std::uint32_t be = (static_cast<std::uint32_t>(frame.BE16(0)) << 16) | frame.BE16(2);
      if (!IsFamily(le) && !IsFamily(be)) return false;
      declared = le == FamilyInet || be == FamilyInet ? 4 : 6;
      offset = 4;
      break;
    }
    case TLinkType::Loop: {
      if (FrameLength < 4) return false;
      const std::uint32_t family = (static_cast<std::uint32_t>(frame.BE16(0)) << 16) | frame.BE16(2);
      if (!IsFamily(family)) return false;
      declared = family == FamilyInet ? 4 : 6;
      offset = 4;
      break;
    }
    case TLinkType::Ethernet: {
      std::size_t typeAt = 12;
      std::uint16_t type = frame.BE16(typeAt);
      while (IsVlanTag(type) && typeAt + 6 <= FrameLength) {
        typeAt += 4;
        type = frame.BE16(typeAt);
      }
      if (typeAt + 2 > FrameLength || !IsEtherTypeIp(type)) return false;
      declared = type == EtherTypeIpv4 ? 4 : 6;
      offset = typeAt + 2;
      break;
    }
    case TLinkType::LinuxCooked:
      if (FrameLength < 16 || !IsEtherTypeIp(frame.BE16(14))) return false;
      declared = frame.BE16(14) == EtherTypeIpv4 ? 4 : 6;
      offset = 16;
      break;
    case TLinkType::LinuxCooked2:
      if (FrameLength < 20 || !IsEtherTypeIp(frame.BE16(0))) return false;
      declared = frame.BE16(0) == EtherTypeIpv4 ? 4 : 6;
      offset = 20;
      break;
    default:
      return false;
  }
  if (offset >= FrameLength) return false;
  const TPacketView ip(Frame + offset, FrameLength - offset);
  const int version = ip.U8(0) >> 4;
  if (version != 4 && version != 6) return false;
  // What the link layer announces must agree with what the datagram is.
  if (declared != 0 && version != declared) return false;
  std::size_t length = ip.Length();
  // Short frames are padded on the wire; the datagram ends at its own length.
  if (version == 4) {
    const std::size_t total = IpTotalLength(ip);
    if (total >= 20 && total < length) length = total;
  } else {
    const std::size_t total = 40 + static_cast<std::size_t>(ip.BE16(4));
    if (total < length) length = total;
  }
  Offset = offset;
  Length = length;
  return true;
}

bool LocateIpv4(int linkType, const std::uint8_t* Frame, std::size_t FrameLength, std::size_t& Offset,
                std::size_t& Length) noexcept {
  std::size_t offset = 0, length = 0;
  if (!LocateIp(linkType, Frame, FrameLength, offset, length) || (Frame[offset] >> 4) != 4) return false;
  Offset = offset;
  Length = length;
  return true;
}
