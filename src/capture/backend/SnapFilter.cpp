#include "capture/backend/SnapFilter.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/backend/LinkLayer.h"
#include "capture/backend/PacketBytes.h"

namespace {

constexpr std::uint32_t IpHeaderBytes = 20;
// The counting reads bytes 0 to 23 of a datagram of ours, whatever its
// header length; behind a longer header it keeps the real ports too.
constexpr std::uint32_t PortBytes = 4;
constexpr std::uint32_t FirstBytesRead = 24;
// Larger than any frame: the kernel keeps the whole frame.
constexpr std::uint32_t KeepAll = 262144;

// Where the IP header starts in the frames the kernel filters, or -1.
int KernelIpOffset(int linkType) {
  switch (static_cast<TLinkType>(linkType)) {
    case TLinkType::Ethernet:  // also loopback, whose frames carry an Ethernet header
      return 14;
    case TLinkType::Raw:
    case TLinkType::Ipv4:
    case TLinkType::LinuxCooked:  // libpcap adds the cooked header after the filter
    case TLinkType::LinuxCooked2:
      return 0;
    default:
      return -1;
  }
}

sock_filter Op(std::uint16_t code, std::uint32_t k) { return sock_filter{code, 0, 0, k}; }
sock_filter Jump(std::uint16_t code, std::uint32_t k, std::size_t from, std::size_t whenTrue, std::size_t whenFalse) {
  return sock_filter{code, static_cast<std::uint8_t>(whenTrue - from - 1), static_cast<std::uint8_t>(whenFalse - from - 1),
                     k};
}

}  // namespace

std::vector<sock_filter> SnapFilterProgram(int linkType, std::uint32_t address, bool whole) {
  const int at = KernelIpOffset(linkType);
  if (at < 0) return {};
  const std::uint32_t ip = static_cast<std::uint32_t>(at);
  const std::uint32_t watched = ntohl(address);
  // Laid out first, so the jumps can name their targets: the IPv4 check,
  // then the address checks, the stranger's return, ours, and the drop.
  const std::size_t check = linkType == static_cast<int>(TLinkType::Ethernet) ? 2 : 3;
  const std::size_t header = check + 6, ours = header + 1;
  const std::size_t drop = ours + (whole ? 1 : 6);
  std::vector<sock_filter> p;
  if (check == 2) {
    p.push_back(Op(BPF_LD | BPF_H | BPF_ABS, 12));  // EtherType
    p.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, 0x0800, 1, 2, drop));
  } else {
    p.push_back(Op(BPF_LD | BPF_B | BPF_ABS, ip));  // version
    p.push_back(Op(BPF_ALU | BPF_AND | BPF_K, 0xF0));
    p.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 2, 3, drop));
  }
  // A frame too short for the header has nothing behind it to hide.
  p.push_back(Op(BPF_LD | BPF_W | BPF_LEN, 0));
  p.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, ip + IpHeaderBytes, check + 1, check + 2, header));
  p.push_back(Op(BPF_LD | BPF_W | BPF_ABS, ip + 12));
  p.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, watched, check + 3, ours, check + 4));
  p.push_back(Op(BPF_LD | BPF_W | BPF_ABS, ip + 16));
  p.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, watched, check + 5, ours, header));
  p.push_back(Op(BPF_RET | BPF_K, ip + IpHeaderBytes));
  if (whole) {
    p.push_back(Op(BPF_RET | BPF_K, KeepAll));
  } else {
    p.push_back(Op(BPF_LDX | BPF_B | BPF_MSH, ip));  // X = header length
    p.push_back(Op(BPF_MISC | BPF_TXA, 0));
    p.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, IpHeaderBytes, ours + 2, ours + 4, ours + 3));
    p.push_back(Op(BPF_RET | BPF_K, ip + FirstBytesRead));
    p.push_back(Op(BPF_ALU | BPF_ADD | BPF_K, ip + PortBytes));
    p.push_back(Op(BPF_RET | BPF_A, 0));
  }
  p.push_back(Op(BPF_RET | BPF_K, 0));
  return p;
}

bool AttachSnapFilter(int fd, int linkType, std::uint32_t address, bool whole, std::string& error) {
  std::vector<sock_filter> program = SnapFilterProgram(linkType, address, whole);
  if (program.empty()) {
    error = "link type " + std::to_string(linkType) + " cannot be filtered";
    return false;
  }
  const sock_fprog code{static_cast<unsigned short>(program.size()), program.data()};
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &code, sizeof code) != 0) {
    error = std::string("cannot attach the filter: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &one, sizeof one) != 0) {
    error = std::string("cannot lock the filter: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::size_t SnapLength(int linkType, const std::uint8_t* frame, std::size_t frameLength, std::uint32_t address,
                       bool whole) noexcept {
  std::size_t offset = 0, length = 0;
  if (!LocateIpv4(linkType, frame, frameLength, offset, length)) return 0;
  const TPacketView ip(frame + offset, frameLength - offset);
  if (ip.Length() < IpHeaderBytes) return frameLength;
  std::size_t keep = offset + IpHeaderBytes;
  if (IpSourceAddr(ip) == address || IpDestAddr(ip) == address) {
    const std::size_t headerBytes = static_cast<std::size_t>(ip.U8(0) & 0x0F) * 4;
    keep = whole ? frameLength
                 : offset + (headerBytes >= IpHeaderBytes ? headerBytes + PortBytes : FirstBytesRead);
  }
  return std::min(keep, frameLength);
}
