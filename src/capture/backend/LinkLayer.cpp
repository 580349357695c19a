#include "capture/backend/LinkLayer.h"

#include "capture/backend/PacketBytes.h"

namespace {

constexpr std::uint16_t EtherTypeIpv4 = 0x0800;
constexpr std::uint16_t EtherTypeVlan = 0x8100;
constexpr std::uint16_t EtherTypeQinQ = 0x88A8;
constexpr std::uint16_t EtherTypeQinQOld = 0x9100;
constexpr std::uint32_t FamilyInet = 2;

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
    case TLinkType::LinuxCooked2:
      return true;
  }
  return false;
}

bool LocateIpv4(int linkType, const std::uint8_t* Frame, std::size_t FrameLength, std::size_t& Offset,
                std::size_t& Length) noexcept {
  const TPacketView frame(Frame, FrameLength);
  std::size_t offset = 0;
  switch (static_cast<TLinkType>(linkType)) {
    case TLinkType::Raw:
    case TLinkType::Ipv4:
      break;
    case TLinkType::Null: {
      if (FrameLength < 4) return false;
      // Host order of the machine that wrote it: accept either order.
      const std::uint32_t le = static_cast<std::uint32_t>(frame.U8(0)) | (static_cast<std::uint32_t>(frame.U8(1)) << 8) |
                               (static_cast<std::uint32_t>(frame.U8(2)) << 16) |
                               (static_cast<std::uint32_t>(frame.U8(3)) << 24);
      const std::uint32_t be = (static_cast<std::uint32_t>(frame.BE16(0)) << 16) | frame.BE16(2);
      if (le != FamilyInet && be != FamilyInet) return false;
      offset = 4;
      break;
    }
    case TLinkType::Loop:
      if (FrameLength < 4) return false;
      if (((static_cast<std::uint32_t>(frame.BE16(0)) << 16) | frame.BE16(2)) != FamilyInet) return false;
      offset = 4;
      break;
    case TLinkType::Ethernet: {
      std::size_t typeAt = 12;
      std::uint16_t type = frame.BE16(typeAt);
      while (IsVlanTag(type) && typeAt + 6 <= FrameLength) {
        typeAt += 4;
        type = frame.BE16(typeAt);
      }
      if (typeAt + 2 > FrameLength || type != EtherTypeIpv4) return false;
      offset = typeAt + 2;
      break;
    }
    case TLinkType::LinuxCooked:
      if (FrameLength < 16 || frame.BE16(14) != EtherTypeIpv4) return false;
      offset = 16;
      break;
    case TLinkType::LinuxCooked2:
      if (FrameLength < 20 || frame.BE16(0) != EtherTypeIpv4) return false;
      offset = 20;
      break;
    default:
      return false;
  }
  if (offset >= FrameLength) return false;
  const TPacketView ip(Frame + offset, FrameLength - offset);
  if ((ip.U8(0) >> 4) != 4) return false;
  std::size_t length = ip.Length();
  const std::size_t total = IpTotalLength(ip);
  // Short frames are padded on the wire; the datagram ends at its own length.
  if (total >= 20 && total < length) length = total;
  Offset = offset;
  Length = length;
  return true;
}
