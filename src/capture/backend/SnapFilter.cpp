#include "capture/backend/SnapFilter.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/backend/IpDatagram.h"
#include "capture/backend/LinkLayer.h"
#include "capture/backend/PacketBytes.h"

namespace {

constexpr std::uint32_t IpHeaderBytes = 20;
// The counting reads bytes 0 to 23 of an IPv4 datagram of ours, whatever its
// header length; behind a longer header it keeps the real ports too.
constexpr std::uint32_t PortBytes = 4;
constexpr std::uint32_t FirstBytesRead = 24;
constexpr std::uint32_t Ipv6Fixed = 40;
// Larger than any frame: the kernel keeps the whole frame.
constexpr std::uint32_t KeepAll = 262144;
constexpr std::size_t MaxInstructions = BPF_MAXINSNS;

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

// A classic filter program with named forward jump targets, resolved at the
// end. A conditional jump that lands on an unconditional one goes straight
// to its target where that is in reach, so trampolines cost nothing on the
// way they are skipped.
class TAssembler {
 public:
  using TLabel = std::size_t;
  TLabel Label() {
    Places.push_back(SIZE_MAX);
    return Places.size() - 1;
  }
  void Place(TLabel label) { Places[label] = Code.size(); }
  void Op(std::uint16_t code, std::uint32_t k = 0) { Code.push_back(sock_filter{code, 0, 0, k}); }
  void If(std::uint16_t code, std::uint32_t k, TLabel whenTrue, TLabel whenFalse) {
    Branches.push_back({Code.size(), whenTrue, whenFalse});
    Op(BPF_JMP | code, k);
  }
  void Goto(TLabel target) {
    Gotos.push_back({Code.size(), target, target});
    Op(BPF_JMP | BPF_JA);
  }
  // Empty when a jump cannot be encoded or the program is too long.
  std::vector<sock_filter> Finish() {
    if (Code.size() > MaxInstructions) return {};
    for (const auto& g : Gotos) {
      if (Places[g.True] == SIZE_MAX || Places[g.True] <= g.At) return {};
      Code[g.At].k = static_cast<std::uint32_t>(Places[g.True] - g.At - 1);
    }
    const auto resolve = [&](std::size_t from, std::size_t to, std::uint8_t& offset) {
      // Through trampolines while the final target is in reach.
      while ((Code[to].code == (BPF_JMP | BPF_JA)) && to + 1 + Code[to].k - from - 1 <= 255) to = to + 1 + Code[to].k;
      if (to <= from || to - from - 1 > 255) return false;
      offset = static_cast<std::uint8_t>(to - from - 1);
      return true;
    };
    for (const auto& b : Branches) {
      if (Places[b.True] == SIZE_MAX || Places[b.False] == SIZE_MAX) return {};
      if (!resolve(b.At, Places[b.True], Code[b.At].jt) || !resolve(b.At, Places[b.False], Code[b.At].jf)) return {};
    }
    return Code;
  }

 private:
  struct TJump {
    std::size_t At;
    TLabel True, False;
  };
  std::vector<sock_filter> Code;
  std::vector<std::size_t> Places;
  std::vector<TJump> Branches, Gotos;
};

std::uint32_t Word(const TIpAddress& a, std::size_t i) {
  std::uint32_t w;
  std::memcpy(&w, a.Bytes() + 4 * i, 4);
  return ntohl(w);
}

// The IPv4 part: addresses at 12 and 16, header plus ports for ours.
void Ipv4Part(TAssembler& a, std::uint32_t ip, std::span<const TIpAddress> addresses, bool whole) {
  const auto header = a.Label(), ours = a.Label(), check = a.Label(), shortFrame = a.Label();
  // A frame too short for the header has nothing behind it to hide.
  a.Op(BPF_LD | BPF_W | BPF_LEN);
  a.If(BPF_JGE | BPF_K, ip + IpHeaderBytes, check, shortFrame);
  a.Place(shortFrame);
  a.Goto(header);
  a.Place(check);
  for (const std::uint32_t side : {12u, 16u}) {
    a.Op(BPF_LD | BPF_W | BPF_ABS, ip + side);
    for (const TIpAddress& address : addresses) {
      if (address.IsV6()) continue;
      const auto hit = a.Label(), miss = a.Label();
      a.If(BPF_JEQ | BPF_K, ntohl(address.Raw4()), hit, miss);
      a.Place(hit);
      a.Goto(ours);
      a.Place(miss);
    }
  }
  a.Place(header);
  a.Op(BPF_RET | BPF_K, ip + IpHeaderBytes);
  a.Place(ours);
  if (whole) {
    a.Op(BPF_RET | BPF_K, KeepAll);
    return;
  }
  const auto longHeader = a.Label(), shortHeader = a.Label();
  a.Op(BPF_LDX | BPF_B | BPF_MSH, ip);  // X = header length
  a.Op(BPF_MISC | BPF_TXA);
  a.If(BPF_JGE | BPF_K, IpHeaderBytes, longHeader, shortHeader);
  a.Place(shortHeader);
  a.Op(BPF_RET | BPF_K, ip + FirstBytesRead);
  a.Place(longHeader);
  a.Op(BPF_ALU | BPF_ADD | BPF_K, ip + PortBytes);
  a.Op(BPF_RET | BPF_A);
}

// The IPv6 part: addresses at 8 and 24; for ours the extension headers are
// walked, unrolled, with X the offset of the header in hand and M[0] its
// type.
void Ipv6Part(TAssembler& a, std::uint32_t ip, std::span<const TIpAddress> addresses, bool whole) {
  const auto header = a.Label(), ours = a.Label(), check = a.Label(), shortFrame = a.Label();
  a.Op(BPF_LD | BPF_W | BPF_LEN);
  a.If(BPF_JGE | BPF_K, ip + Ipv6Fixed, check, shortFrame);
  a.Place(shortFrame);
  a.Goto(header);
  a.Place(check);
  for (const std::uint32_t side : {8u, 24u}) {
    for (const TIpAddress& address : addresses) {
      if (!address.IsV6()) continue;
      const auto miss = a.Label();
      for (std::size_t i = 0; i < 4; ++i) {
        const auto next = a.Label();
        a.Op(BPF_LD | BPF_W | BPF_ABS, ip + side + 4 * static_cast<std::uint32_t>(i));
        a.If(BPF_JEQ | BPF_K, Word(address, i), next, miss);
        a.Place(next);
      }
      a.Goto(ours);
      a.Place(miss);
    }
  }
  a.Place(header);
  a.Op(BPF_RET | BPF_K, ip + Ipv6Fixed);
  a.Place(ours);
  if (whole) {
    a.Op(BPF_RET | BPF_K, KeepAll);
    return;
  }
  const auto upper = a.Label(), later = a.Label(), cut = a.Label();
  a.Op(BPF_LD | BPF_B | BPF_ABS, ip + 6);
  a.Op(BPF_LDX | BPF_IMM, Ipv6Fixed);
  for (int step = 0; step < Ipv6FilterWalk; ++step) {
    const auto in = a.Label(), options = a.Label(), ah = a.Label(), fragment = a.Label(), first = a.Label(),
               advance = a.Label(), next = a.Label(), toUpper = a.Label(), toCut = a.Label(), toLater = a.Label();
    const auto extension = [&](std::uint32_t type, TAssembler::TLabel to) {
      const auto no = a.Label();
      a.If(BPF_JEQ | BPF_K, type, to, no);
      a.Place(no);
    };
    a.Op(BPF_ST, 0);
    extension(0, in);
    extension(43, in);
    extension(60, in);
    extension(51, in);
    a.If(BPF_JEQ | BPF_K, 44, in, toUpper);
    a.Place(toUpper);
    a.Goto(upper);
    // Every byte read below lies within the frame: len - (ip + 4) >= X.
    a.Place(in);
    const auto readable = a.Label();
    a.Op(BPF_LD | BPF_W | BPF_LEN);
    a.Op(BPF_ALU | BPF_SUB | BPF_K, ip + PortBytes);
    a.If(BPF_JGE | BPF_X, 0, readable, toCut);
    a.Place(toCut);
    a.Goto(cut);
    a.Place(readable);
    a.Op(BPF_LD | BPF_MEM, 0);
    const auto notAh = a.Label(), notFragment = a.Label();
    a.If(BPF_JEQ | BPF_K, 51, ah, notAh);
    a.Place(notAh);
    a.If(BPF_JEQ | BPF_K, 44, fragment, notFragment);
    a.Place(notFragment);
    a.Goto(options);
    a.Place(options);  // (length + 1) * 8
    a.Op(BPF_LD | BPF_B | BPF_IND, ip + 1);
    a.Op(BPF_ALU | BPF_ADD | BPF_K, 1);
    a.Op(BPF_ALU | BPF_LSH | BPF_K, 3);
    a.Goto(advance);
    a.Place(ah);  // (length + 2) * 4
    a.Op(BPF_LD | BPF_B | BPF_IND, ip + 1);
    a.Op(BPF_ALU | BPF_ADD | BPF_K, 2);
    a.Op(BPF_ALU | BPF_LSH | BPF_K, 2);
    a.Goto(advance);
    a.Place(fragment);  // 8 bytes; a later fragment has nothing of the upper layer
    a.Op(BPF_LD | BPF_H | BPF_IND, ip + 2);
    a.Op(BPF_ALU | BPF_AND | BPF_K, 0xfff8);
    a.If(BPF_JEQ | BPF_K, 0, first, toLater);
    a.Place(toLater);
    a.Goto(later);
    a.Place(first);
    a.Op(BPF_LD | BPF_IMM, 8);
    a.Place(advance);  // A = the header's size: M[0] = its next header, X += A
    a.Op(BPF_ST, 1);
    a.Op(BPF_LD | BPF_B | BPF_IND, ip);
    a.Op(BPF_ST, 0);
    a.Op(BPF_LD | BPF_MEM, 1);
    a.Op(BPF_ALU | BPF_ADD | BPF_X);
    a.Op(BPF_MISC | BPF_TAX);
    a.Op(BPF_LD | BPF_MEM, 0);
    a.Goto(next);
    a.Place(next);
  }
  a.Place(upper);  // the headers and four bytes of what follows them
  a.Op(BPF_MISC | BPF_TXA);
  a.Op(BPF_ALU | BPF_ADD | BPF_K, ip + PortBytes);
  a.Op(BPF_RET | BPF_A);
  a.Place(later);
  a.Op(BPF_MISC | BPF_TXA);
  a.Op(BPF_ALU | BPF_ADD | BPF_K, ip + 8);
  a.Op(BPF_RET | BPF_A);
  a.Place(cut);  // cut inside its headers: nothing behind them came
  a.Op(BPF_RET | BPF_K, KeepAll);
}

// What the program keeps of a watched IPv6 datagram, counted from its start.
std::size_t Ipv6Kept(const TPacketView& ip) {
  std::size_t at = Ipv6Fixed;
  std::uint8_t next = ip.U8(6);
  for (int step = 0; step < Ipv6FilterWalk; ++step) {
    std::size_t size = 0;
    if (next == 0 || next == 43 || next == 60)
      size = (static_cast<std::size_t>(ip.U8(at + 1)) + 1) * 8;
    else if (next == 51)
      size = (static_cast<std::size_t>(ip.U8(at + 1)) + 2) * 4;
    else if (next == 44)
      size = 8;
    else
      break;
    if (at + PortBytes > ip.Length()) return SIZE_MAX;
    if (next == 44 && (ip.BE16(at + 2) & 0xfff8) != 0) return at + 8;
    next = ip.U8(at);
    at += size;
  }
  return at + PortBytes;
}

}  // namespace

std::vector<sock_filter> SnapFilterProgram(int linkType, std::span<const TIpAddress> addresses, bool whole) {
  const int at = KernelIpOffset(linkType);
  if (at < 0) return {};
  const auto ip = static_cast<std::uint32_t>(at);
  TAssembler a;
  const auto v4 = a.Label(), v6 = a.Label(), drop = a.Label(), notV4 = a.Label(), six = a.Label();
  if (static_cast<TLinkType>(linkType) == TLinkType::Ethernet) {
    a.Op(BPF_LD | BPF_H | BPF_ABS, 12);  // EtherType
    a.If(BPF_JEQ | BPF_K, 0x0800, v4, notV4);
    a.Place(notV4);
    a.If(BPF_JEQ | BPF_K, 0x86DD, six, drop);
  } else {
    a.Op(BPF_LD | BPF_B | BPF_ABS, ip);  // version
    a.Op(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    a.If(BPF_JEQ | BPF_K, 0x40, v4, notV4);
    a.Place(notV4);
    a.If(BPF_JEQ | BPF_K, 0x60, six, drop);
  }
  a.Place(drop);
  a.Op(BPF_RET | BPF_K, 0);
  a.Place(six);
  a.Goto(v6);
  a.Place(v4);
  Ipv4Part(a, ip, addresses, whole);
  a.Place(v6);
  Ipv6Part(a, ip, addresses, whole);
  return a.Finish();
}

bool AttachSnapFilter(int fd, int linkType, std::span<const TIpAddress> addresses, bool whole, std::string& error,
                      bool lock) {
  std::vector<sock_filter> program = SnapFilterProgram(linkType, addresses, whole);
  if (program.empty()) {
    error = "link type " + std::to_string(linkType) + " cannot be filtered for these addresses";
    return false;
  }
  const sock_fprog code{static_cast<unsigned short>(program.size()), program.data()};
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &code, sizeof code) != 0) {
    error = std::string("cannot attach the filter: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  if (lock && setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &one, sizeof one) != 0) {
    error = std::string("cannot lock the filter: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::size_t SnapLength(int linkType, const std::uint8_t* frame, std::size_t frameLength,
                       std::span<const TIpAddress> addresses, bool whole) noexcept {
  std::size_t offset = 0, length = 0;
  if (!LocateIp(linkType, frame, frameLength, offset, length)) return 0;
  const TPacketView ip(frame + offset, frameLength - offset);
  const bool six = IpVersion(ip) == 6;
  const std::size_t fixed = six ? Ipv6Fixed : IpHeaderBytes;
  if (ip.Length() < fixed) return frameLength;
  std::size_t keep = offset + fixed;
  bool watched = false;
  if (six) {
    const TIpAddress source = Ipv6SourceAddr(ip), dest = Ipv6DestAddr(ip);
    watched = std::any_of(addresses.begin(), addresses.end(),
                          [&](const TIpAddress& a) { return a == source || a == dest; });
  } else {
    const std::uint32_t source = IpSourceAddr(ip), dest = IpDestAddr(ip);
    watched = std::any_of(addresses.begin(), addresses.end(), [&](const TIpAddress& a) {
      return !a.IsV6() && (a.Raw4() == source || a.Raw4() == dest);
    });
  }
  if (watched) {
    if (whole) return frameLength;
    if (six) {
      const std::size_t kept = Ipv6Kept(ip);
      keep = kept == SIZE_MAX ? frameLength : offset + kept;
    } else {
      const std::size_t headerBytes = static_cast<std::size_t>(ip.U8(0) & 0x0F) * 4;
      keep = offset + (headerBytes >= IpHeaderBytes ? headerBytes + PortBytes : FirstBytesRead);
    }
  }
  return std::min(keep, frameLength);
}
