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
  const char* Source;     // 10.0.0.1 is watched
  std::uint8_t FirstByte;  // version and header length
  std::size_t Delivered;
  bool Whole;
  std::size_t Kept;
};

class SnapFilterTest : public testing::TestWithParam<TSnapCase> {};

TEST_P(SnapFilterTest, KeepsOnlyWhatTheCountingReads) {
  const auto& c = GetParam();
  auto ip = MakeDatagram({.Protocol = 17, .Source = c.Source, .TotalLength = 200, .Delivered = c.Delivered});
  ip[0] = c.FirstByte;
  std::vector<std::uint8_t> frame(c.Link == TLinkType::Ethernet ? 14 : 0, 0);
  if (!frame.empty()) frame[12] = 8;  // IPv4
  frame.insert(frame.end(), ip.begin(), ip.end());
  auto program = SnapFilterProgram(static_cast<int>(c.Link), Addr("10.0.0.1"), c.Whole);
  const bpf_program code{static_cast<u_int>(program.size()), reinterpret_cast<bpf_insn*>(program.data())};
  const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
  const auto kept = static_cast<unsigned>(pcap_offline_filter(&code, &header, frame.data()));
  EXPECT_EQ(std::min<std::size_t>(kept, frame.size()), c.Kept);
  EXPECT_EQ(SnapLength(static_cast<int>(c.Link), frame.data(), frame.size(), Addr("10.0.0.1"), c.Whole), c.Kept);
}

using enum TLinkType;
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
                                         TSnapCase{Raw, "10.0.0.1", 0x60, 200, true, 0}),
                         [](const auto& p) {
                           const TSnapCase& c = p.param;
                           return CaseName(std::string(c.Link == Ethernet ? "ethernet" : c.Link == Raw ? "raw" : "ipv4") +
                                           " from " + c.Source + " first byte " + std::to_string(c.FirstByte) + " of " +
                                           std::to_string(c.Delivered) + (c.Whole ? " whole" : ""));
                         });

}  // namespace
