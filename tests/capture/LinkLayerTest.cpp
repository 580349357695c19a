#include "capture/backend/LinkLayer.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/Datagrams.h"
#include "common/CaseName.h"

namespace {

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> head, const std::vector<std::uint8_t>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

const std::vector<std::uint8_t> kIp = MakeDatagram({.Protocol = 17, .TotalLength = 28, .Delivered = 28});
const std::vector<std::uint8_t> kMacs(12, 0xAA);

struct TLinkCase {
  const char* What;
  TLinkType Type;
  std::vector<std::uint8_t> Frame;
  bool Found;
  std::size_t Offset;
  std::size_t Length;
};

class LinkLayerTableTest : public testing::TestWithParam<TLinkCase> {};

TEST_P(LinkLayerTableTest, FindsTheDatagram) {
  const auto& c = GetParam();
  std::size_t offset = 99, length = 99;
  const bool found = LocateIpv4(static_cast<int>(c.Type), c.Frame.data(), c.Frame.size(), offset, length);
  ASSERT_EQ(found, c.Found) << c.What;
  if (!found) return;
  EXPECT_EQ(offset, c.Offset) << c.What;
  EXPECT_EQ(length, c.Length) << c.What;
}

std::vector<TLinkCase> Cases() {
  std::vector<std::uint8_t> padded = Concat(Concat(kMacs, {0x08, 0x00}), kIp);
  padded.resize(60, 0);  // minimum Ethernet frame: the padding is no part of the datagram
  std::vector<std::uint8_t> truncated = Concat(Concat(kMacs, {0x08, 0x00}), kIp);
  truncated.resize(14 + 10);
  return {
      {"ethernet", TLinkType::Ethernet, Concat(Concat(kMacs, {0x08, 0x00}), kIp), true, 14, 28},
      {"ethernet padded", TLinkType::Ethernet, padded, true, 14, 28},
      {"ethernet truncated", TLinkType::Ethernet, truncated, true, 14, 10},
      {"one vlan tag", TLinkType::Ethernet, Concat(Concat(kMacs, {0x81, 0x00, 0x00, 0x05, 0x08, 0x00}), kIp), true, 18,
       28},
      {"two tags", TLinkType::Ethernet,
       Concat(Concat(kMacs, {0x88, 0xA8, 0x00, 0x05, 0x81, 0x00, 0x00, 0x07, 0x08, 0x00}), kIp), true, 22, 28},
      {"ipv6 over ethernet", TLinkType::Ethernet, Concat(Concat(kMacs, {0x86, 0xDD}), kIp), false, 0, 0},
      {"arp", TLinkType::Ethernet, Concat(Concat(kMacs, {0x08, 0x06}), kIp), false, 0, 0},
      {"vlan tag cut off", TLinkType::Ethernet, Concat(kMacs, {0x81, 0x00, 0x00}), false, 0, 0},
      {"ethernet header only", TLinkType::Ethernet, Concat(kMacs, {0x08, 0x00}), false, 0, 0},
      {"cooked", TLinkType::LinuxCooked,
       Concat({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x08, 0x00}, kIp), true, 16, 28},
      {"cooked ipv6", TLinkType::LinuxCooked,
       Concat({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD}, kIp), false, 0, 0},
      {"cooked v2", TLinkType::LinuxCooked2,
       Concat({0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0}, kIp), true, 20, 28},
      {"raw", TLinkType::Raw, kIp, true, 0, 28},
      {"raw ipv6", TLinkType::Raw, Concat({0x60}, std::vector<std::uint8_t>(39, 0)), false, 0, 0},
      {"ipv4 link type", TLinkType::Ipv4, kIp, true, 0, 28},
      {"null little endian", TLinkType::Null, Concat({2, 0, 0, 0}, kIp), true, 4, 28},
      {"null big endian", TLinkType::Null, Concat({0, 0, 0, 2}, kIp), true, 4, 28},
      {"null ipv6", TLinkType::Null, Concat({24, 0, 0, 0}, kIp), false, 0, 0},
      {"loop", TLinkType::Loop, Concat({0, 0, 0, 2}, kIp), true, 4, 28},
      {"empty frame", TLinkType::Raw, {}, false, 0, 0},
      {"null header only", TLinkType::Null, {2, 0, 0, 0}, false, 0, 0},
  };
}

INSTANTIATE_TEST_SUITE_P(LinkLayer, LinkLayerTableTest, testing::ValuesIn(Cases()),
                         [](const auto& p) { return CaseName(p.param.What); });

TEST(LinkLayerTest, UnknownTypesAreRefused) {
  EXPECT_TRUE(IsSupportedLinkType(1));
  EXPECT_TRUE(IsSupportedLinkType(276));
  EXPECT_FALSE(IsSupportedLinkType(105));  // wireless
  std::size_t offset = 0, length = 0;
  EXPECT_FALSE(LocateIpv4(105, kIp.data(), kIp.size(), offset, length));
}

}  // namespace
