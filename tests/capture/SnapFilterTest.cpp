// The helper's kernel filter, run by libpcap's own interpreter, and the same
// rule applied to frames that reached the ring before it: both keep of each
// frame exactly the bytes the counting reads.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "capture/Datagrams.h"
#include "capture/LinkLayer.h"
#include "capture/SnapFilter.h"

namespace {

struct TSnapCase {
  const char* Name;
  TLinkType Link;
  const char* Source;
  std::uint8_t HeaderWords;  // IHL; a version other than 4 with 0x60
  std::size_t Delivered;
  bool Whole;
  std::size_t Kept;
};

class SnapFilter : public testing::TestWithParam<TSnapCase> {};

TEST_P(SnapFilter, KeepsOnlyWhatTheCountingReads) {
  const auto& c = GetParam();
  auto frame = MakeDatagram({.Protocol = 17, .Source = c.Source, .Dest = "10.0.0.8", .TotalLength = 200,
                             .Delivered = c.Delivered});
  frame[0] = c.HeaderWords & 0xF0 ? c.HeaderWords : static_cast<std::uint8_t>(0x40 | c.HeaderWords);
  if (c.Link == TLinkType::Ethernet) {
    std::vector<std::uint8_t> ethernet(14, 0);
    ethernet[12] = 8;  // IPv4
    ethernet.insert(ethernet.end(), frame.begin(), frame.end());
    frame.swap(ethernet);
  }
  const std::uint32_t watched = Addr("10.0.0.1");
  auto program = SnapFilterProgram(static_cast<int>(c.Link), watched, c.Whole);
  const bpf_program code{static_cast<u_int>(program.size()), reinterpret_cast<bpf_insn*>(program.data())};
  const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
  const auto kept = static_cast<unsigned>(pcap_offline_filter(&code, &header, frame.data()));
  EXPECT_EQ(std::min<std::size_t>(kept, frame.size()), c.Kept);
  EXPECT_EQ(SnapLength(static_cast<int>(c.Link), frame.data(), frame.size(), watched, c.Whole), c.Kept);
}

using enum TLinkType;
INSTANTIATE_TEST_SUITE_P(
    Frames, SnapFilter,
    testing::Values(TSnapCase{"OthersHeaderOnly", Ethernet, "10.0.0.7", 5, 200, false, 14 + 20},
                    TSnapCase{"OthersHeaderOnlyInWholeMode", Ethernet, "10.0.0.7", 5, 200, true, 14 + 20},
                    TSnapCase{"OursUpToThePorts", Ethernet, "10.0.0.1", 5, 200, false, 14 + 24},
                    TSnapCase{"OursWithOptionsUpToTheRealPorts", Ethernet, "10.0.0.1", 8, 200, false, 14 + 36},
                    TSnapCase{"OursWithABadHeaderLength", Ethernet, "10.0.0.1", 2, 200, false, 14 + 24},
                    TSnapCase{"OursWhole", Ethernet, "10.0.0.1", 5, 200, true, 14 + 200},
                    TSnapCase{"RawOthers", Raw, "10.0.0.7", 5, 200, false, 20},
                    TSnapCase{"RawOurs", Ipv4, "10.0.0.1", 5, 200, false, 24},
                    TSnapCase{"ShorterThanAHeaderKeptAsItIs", Raw, "10.0.0.7", 5, 12, false, 12},
                    TSnapCase{"NotIpv4", Raw, "10.0.0.1", 0x60, 200, true, 0}),
    [](const auto& param) { return std::string(param.param.Name); });

}  // namespace
