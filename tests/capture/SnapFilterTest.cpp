// The helper's kernel filter under libpcap's interpreter, and the same rule
// for frames that reached the ring before it, keep what the counting reads.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "common/Datagrams.h"
#include "capture/backend/LinkLayer.h"
#include "capture/backend/SnapFilter.h"
#include "common/CaseName.h"

namespace {

struct TSnapCase {
  TLinkType Link;
  const char* Source;     // 10.0.0.1 and 2001:db8::1 are watched
  std::uint8_t FirstByte;  // version and header length
  std::size_t Delivered;
  bool Whole;
  std::size_t Kept;
  // An IPv6 datagram from Source to 2001:db8::2 instead: its next header,
  // then its extension headers and upper layer.
  std::uint8_t Next = 0;
  std::vector<std::uint8_t> Chain = {};
};

class SnapFilterTest : public testing::TestWithParam<TSnapCase> {};

TEST_P(SnapFilterTest, KeepsOnlyWhatTheCountingReads) {
  const auto& c = GetParam();
  const bool six = c.FirstByte == 0x60 && !c.Chain.empty();
  auto ip = six ? MakeDatagram6({c.Next, c.Chain, 160, c.Source, "2001:db8::2", c.Delivered})
                : MakeDatagram({.Protocol = 17, .Source = c.Source, .TotalLength = 200, .Delivered = c.Delivered});
  ip[0] = c.FirstByte;
  std::vector<std::uint8_t> frame(c.Link == TLinkType::Ethernet ? 14 : 0, 0);
  if (!frame.empty()) frame[12] = six ? 0x86 : 8, frame[13] = six ? 0xDD : 0;
  frame.insert(frame.end(), ip.begin(), ip.end());
  std::vector<TIpAddress> watched(2, Addr("10.0.0.1"));
  ASSERT_TRUE(TIpAddress::Parse("2001:db8::1", watched[1]));
  auto program = SnapFilterProgram(static_cast<int>(c.Link), watched, c.Whole);
  ASSERT_FALSE(program.empty());
  const bpf_program code{static_cast<u_int>(program.size()), reinterpret_cast<bpf_insn*>(program.data())};
  const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
  const auto kept = static_cast<unsigned>(pcap_offline_filter(&code, &header, frame.data()));
  EXPECT_EQ(std::min<std::size_t>(kept, frame.size()), c.Kept);
  EXPECT_EQ(SnapLength(static_cast<int>(c.Link), frame.data(), frame.size(), watched, c.Whole), c.Kept);
}

using TLinkType::Ethernet, TLinkType::Raw, TLinkType::Ipv4;
using V = TBytes;
const V kPorts = {0x9c, 0x40, 0x00, 0x50};
V ManyOptions(int n) {
  V chain;
  for (int i = 0; i < n; ++i) chain = chain + Ipv6Options(i + 1 < n ? 60 : 6, 0);
  return chain + kPorts;
}
INSTANTIATE_TEST_SUITE_P(Frames, SnapFilterTest,
                         testing::Values(TSnapCase{Ethernet, "10.0.0.7", 0x45, 200, false, 14 + 20},
                                         TSnapCase{Ethernet, "10.0.0.7", 0x45, 200, true, 14 + 20},
                                         TSnapCase{Ethernet, "10.0.0.1", 0x45, 200, false, 14 + 24},
                                         TSnapCase{Ethernet, "10.0.0.1", 0x48, 200, false, 14 + 32 + 4},
                                         TSnapCase{Ethernet, "10.0.0.1", 0x42, 200, false, 14 + 24},
                                         TSnapCase{Ethernet, "10.0.0.1", 0x45, 200, true, 14 + 200},
                                         TSnapCase{Raw, "10.0.0.7", 0x45, 200, false, 20},
                                         TSnapCase{Ipv4, "10.0.0.1", 0x45, 200, false, 24},
                                         TSnapCase{Raw, "10.0.0.7", 0x45, 12, false, 12},
                                         TSnapCase{Raw, "10.0.0.1", 0x60, 200, true, 40},
                                         TSnapCase{Ethernet, "2001:db8::7", 0x60, 200, false, 14 + 40, 6, kPorts},
                                         TSnapCase{Ethernet, "2001:db8::7", 0x60, 200, true, 14 + 40, 6, kPorts},
                                         TSnapCase{Ethernet, "2001:db8::1", 0x60, 200, false, 14 + 44, 6, kPorts},
                                         TSnapCase{Ethernet, "2001:db8::1", 0x60, 200, true, 14 + 200, 6, kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 200, false, 40 + 32 + 4, 0,
                                                   Ipv6Options(43, 0) + Ipv6Options(60, 1) + Ipv6Options(17, 0) + kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 200, false, 40 + 12 + 4, 51,
                                                   V{6, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0} + kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 200, false, 40 + 8 + 4, 44,
                                                   V{17, 0, 0, 0, 0, 0, 0, 1} + kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 200, false, 40 + 8, 44,
                                                   V{17, 0, 0, 8, 0, 0, 0, 1} + kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 60, false, 60, 0,
                                                   Ipv6Options(60, 30) + kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 200, false, 40 + 8 * 8 + 4, 60,
                                                   ManyOptions(9)},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 200, false, 40 + 4, 58, kPorts},
                                         TSnapCase{Raw, "2001:db8::1", 0x60, 30, false, 30, 6, kPorts}),
                         [](const auto& p) {
                           const TSnapCase& c = p.param;
                           return CaseName(std::string(c.Link == Ethernet ? "ethernet" : c.Link == Raw ? "raw" : "ipv4") +
                                           " from " + c.Source + " first byte " + std::to_string(c.FirstByte) + " of " +
                                           std::to_string(c.Delivered) + (c.Whole ? " whole" : "") + " next " +
                                           std::to_string(c.Next) + " chain " + std::to_string(c.Chain.size()) +
                                           " keeps " + std::to_string(c.Kept));
                         });

}  // namespace
