// Putting traffic down to programs, with the owners of sockets given by a
// fake look-up, so that the rules run without root; and the program table
// and socket listing they rest on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "capture/ProgramTotals.h"

namespace {

using namespace std::chrono_literals;
using TRows = std::map<std::string, std::pair<std::int64_t, std::int64_t>>;  // program -> sent, received

// Sockets by local port: inode and program. Gate holds the look-ups back.
struct TFakeOwners final : TOwnerLookup {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::map<std::uint16_t, std::pair<std::uint64_t, std::string>> Sockets;
  bool Listing = true, Throws = false, Gate = false;
  int Rounds = 0;

  bool Refresh() override {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [&] { return !Gate; });
    ++Rounds;
    Changed.notify_all();
    if (Throws) throw std::runtime_error("look-up fault");
    return Listing;
  }
  std::uint64_t InodeOf(const TSocketKey& key) const override {
    std::lock_guard lock(const_cast<std::mutex&>(Mutex));
    const auto it = Sockets.find(key.LocalPort);
    return it == Sockets.end() ? 0 : it->second.first;
  }
  TSocketOwner Find(const TSocketKey& key) override {
    const std::uint64_t inode = InodeOf(key);
    std::lock_guard lock(Mutex);
    return inode ? TSocketOwner{Sockets[key.LocalPort].second, "alice", "", inode, ""} : TSocketOwner{};
  }
  void Open() {
    std::lock_guard lock(Mutex);
    Gate = false;
    Changed.notify_all();
  }
};

PacketRecord Record(std::uint8_t protocol, std::uint16_t localPort, std::int64_t length, std::uint8_t direction,
                    std::uint16_t remotePort = 53) {
  return {.RemoteAddr = 0x0100000a, .Direction = direction, .Length = length, .Protocol = protocol,
          .LocalPort = localPort, .RemotePort = remotePort};
}

TRows Rows(const TProgramTotalsTable& table) {
  TRows rows;
  for (const ProgramTotals& r : table.AllRows()) rows[r.Program] = {r.SentBytes, r.RecvBytes};
  return rows;
}

struct TAttributionCase {
  const char* Name;
  bool Listing, Throws;
  TRows Expected;
};
class ProgramAttributionTest : public ::testing::TestWithParam<TAttributionCase> {};

// Port 4000 is a program's, port 5000 no socket's; ICMP is nobody's; a TCP
// record without ports (a later fragment) names no socket. A refused listing
// or a faulting look-up leaves the parked bytes "(unknown)".
TEST_P(ProgramAttributionTest, PutsEachRecordDownByTheRules) {
  auto owners = std::make_unique<TFakeOwners>();
  owners->Sockets[4000] = {77, "resolver"};
  owners->Listing = GetParam().Listing;
  owners->Throws = GetParam().Throws;
  TProgramAttribution programs(std::move(owners), {1ms, 5ms});
  for (const PacketRecord& r : {Record(17, 4000, 100, DirectionSent), Record(17, 4000, 40, DirectionReceived),
                                Record(17, 5000, 7, DirectionSent), Record(1, 0, 64, DirectionReceived),
                                Record(6, 0, 9, DirectionSent)})
    programs.Fold(r);
  EXPECT_EQ(programs.Parked(), 2u);  // both records of a socket wait for one answer
  programs.Flush(5s);
  EXPECT_EQ(programs.Parked(), 0u);
  EXPECT_EQ(Rows(programs.Table()), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ProgramAttributionTest,
    ::testing::Values(
        TAttributionCase{"Answered", true, false,
                         {{"resolver", {100, 40}}, {"(unknown)", {16, 0}}, {"(kernel / other)", {0, 64}}}},
        TAttributionCase{"ListingRefused", false, false, {{"(unknown)", {116, 40}}, {"(kernel / other)", {0, 64}}}},
        TAttributionCase{"LookUpFault", true, true, {{"(unknown)", {116, 40}}, {"(kernel / other)", {0, 64}}}}),
    [](const ::testing::TestParamInfo<TAttributionCase>& c) { return std::string(c.param.Name); });

// A cached socket that closes and whose port another program takes: its
// later datagrams are the new program's. Keys beyond the bound are unknown.
TEST(ProgramAttributionBoundsTest, CacheExpiresAndKeysAreBounded) {
  auto owned = std::make_unique<TFakeOwners>();
  TFakeOwners& host = *owned;
  host.Sockets[4000] = {77, "first"};
  TProgramAttribution programs(std::move(owned), {1ms, 5ms});
  // A failed check must not leave the look-ups held, or the test hangs.
  const std::unique_ptr<TFakeOwners, void (*)(TFakeOwners*)> release(&host, [](TFakeOwners* h) { h->Open(); });
  programs.Fold(Record(17, 4000, 10, DirectionSent));
  programs.Flush(5s);
  programs.Fold(Record(17, 4000, 5, DirectionSent));  // cached: not parked
  EXPECT_EQ(programs.Parked(), 0u);
  {
    std::unique_lock lock(host.Mutex);
    host.Sockets[4000] = {78, "second"};
    const int seen = host.Rounds;
    ASSERT_TRUE(host.Changed.wait_for(lock, 5s, [&] { return host.Rounds > seen; }));
    host.Gate = true;
  }
  programs.Flush(5s);  // the round that saw the change has told
  programs.Fold(Record(17, 4000, 3, DirectionSent));
  for (std::uint16_t port = 1; programs.Parked() < TProgramAttribution::MaxKeys; ++port)
    programs.Fold(Record(17, 4001, 1, DirectionSent, port));
  programs.Fold(Record(17, 4002, 2, DirectionSent));
  EXPECT_EQ(Rows(programs.Table())["(unknown)"].first, 2);
  host.Open();
  programs.Flush(5s);
  auto rows = Rows(programs.Table());
  EXPECT_EQ(rows["first"].first, 15);
  EXPECT_EQ(rows["second"].first, 3);
  EXPECT_EQ(rows["(unknown)"].first, 2 + static_cast<std::int64_t>(TProgramAttribution::MaxKeys) - 1);
}

// Rows by program then user; beyond the capacity, one "(other)"; the top by
// bytes keeps the order of equals.
TEST(ProgramTotalsTableTest, OrdersBoundsAndRanks) {
  TProgramTotalsTable table(4);
  for (const auto& [program, user, bytes] : std::vector<std::tuple<std::string, std::string, int>>{
           {"b", "u", 5}, {"a", "v", 7}, {"a", "u", 7}, {"c", "u", 1}, {"d", "u", 2}})
    table.Add(table.RowOf(program, user), Record(17, 1, 0, DirectionSent), bytes, 0);
  const auto names = [](const std::vector<ProgramTotals>& rows) {
    std::vector<std::string> listed;
    for (const ProgramTotals& r : rows) listed.push_back(r.Program + "/" + r.User + "=" + std::to_string(r.SentBytes));
    return listed;
  };
  EXPECT_EQ(names(table.AllRows()), (std::vector<std::string>{"(other)/=3", "a/u=7", "a/v=7", "b/u=5"}));
  EXPECT_EQ(names(TopPrograms(table.AllRows(), 3)), (std::vector<std::string>{"a/u=7", "a/v=7", "b/u=5"}));
  EXPECT_EQ(TopPrograms(table.AllRows(), -1).size(), 4u);
}

// One reply of the kernel's listing: an IPv4 socket, an IPv6 one carrying
// IPv4, a real IPv6 one, then the end or an error.
TEST(SocketListTest, ReadsSocketsOfBothFamiliesUntilTheEnd) {
  std::vector<std::uint8_t> buffer;
  const auto add = [&](std::uint16_t type, std::uint8_t family, std::uint32_t word2, std::uint32_t addr) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_len = type == SOCK_DIAG_BY_FAMILY ? NLMSG_LENGTH(sizeof(inet_diag_msg)) : NLMSG_LENGTH(4);
    inet_diag_msg m{};
    m.idiag_family = family;
    m.idiag_uid = 1000;
    m.idiag_inode = 99;
    m.id.idiag_src[family == AF_INET ? 0 : 3] = addr;
    m.id.idiag_src[2] = word2;
    m.id.idiag_sport = htons(4000);
    buffer.resize(buffer.size() + NLMSG_ALIGN(header.nlmsg_len));
    std::uint8_t* at = buffer.data() + buffer.size() - NLMSG_ALIGN(header.nlmsg_len);
    std::memcpy(at, &header, sizeof header);
    if (type == SOCK_DIAG_BY_FAMILY) std::memcpy(at + NLMSG_HDRLEN, &m, sizeof m);
  };
  add(SOCK_DIAG_BY_FAMILY, AF_INET, 0, 0x0100007f);
  add(SOCK_DIAG_BY_FAMILY, AF_INET6, htonl(0xffff), 0x0200007f);
  add(SOCK_DIAG_BY_FAMILY, AF_INET6, htonl(0x1234), 0x0300007f);
  std::vector<TSocketEntry> out;
  bool done = true;
  ASSERT_TRUE(ParseSocketList(buffer.data(), buffer.size(), 17, out, done));
  EXPECT_FALSE(done);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(std::tie(out[1].LocalAddr, out[1].LocalPort, out[1].Inode), std::tuple(TIpAddress(0x0200007fu), 4000, 99u));
  EXPECT_EQ(out[2].LocalAddr.Text(), "::1234:7f00:3");
  EXPECT_TRUE(out[2].RemoteAddr.IsV6());
  for (const auto& [type, ok] : {std::pair{NLMSG_DONE, true}, std::pair{NLMSG_ERROR, false}}) {
    const std::size_t size = buffer.size();
    add(static_cast<std::uint16_t>(type), 0, 0, 0);
    EXPECT_EQ(ParseSocketList(buffer.data(), buffer.size(), 17, out, done), ok);
    EXPECT_TRUE(done);
    buffer.resize(size);
  }
  EXPECT_FALSE(ParseSocketList(buffer.data(), buffer.size() - 1, 17, out, done));  // a cut message
}

}  // namespace
