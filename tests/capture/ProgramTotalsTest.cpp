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
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

#include "capture/ProgramTotals.h"

namespace {

using namespace std::chrono_literals;

// Sockets by local port: the inode and the program that holds it. Gate
// holds the look-ups back; the test changes the sockets between rounds.
struct TFakeHost {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::map<std::uint16_t, std::pair<std::uint64_t, std::string>> Sockets;
  bool Listing = true, Throws = false, Gate = false;
  int Rounds = 0;
};

class TFakeOwners final : public TOwnerLookup {
 public:
  explicit TFakeOwners(TFakeHost& host) : Host(host) {}
  bool Refresh() override {
    std::unique_lock lock(Host.Mutex);
    Host.Changed.wait(lock, [&] { return !Host.Gate; });
    ++Host.Rounds;
    Host.Changed.notify_all();
    if (Host.Throws) throw std::runtime_error("look-up fault");
    return Host.Listing;
  }
  std::uint64_t InodeOf(const TSocketKey& key) const override {
    std::lock_guard lock(Host.Mutex);
    const auto it = Host.Sockets.find(key.LocalPort);
    return it == Host.Sockets.end() ? 0 : it->second.first;
  }
  TSocketOwner Find(const TSocketKey& key) override {
    std::lock_guard lock(Host.Mutex);
    const auto it = Host.Sockets.find(key.LocalPort);
    if (it == Host.Sockets.end() || it->second.first == 0) return {};
    return {it->second.second, "alice", "", it->second.first};
  }
  TFakeHost& Host;
};

PacketRecord Record(std::uint8_t protocol, std::uint16_t localPort, std::int64_t length, std::uint8_t direction,
                    std::uint16_t remotePort = 53) {
  PacketRecord r;
  r.RemoteAddr = 0x0100000a;  // 10.0.0.1
  r.Protocol = protocol;
  r.LocalPort = localPort;
  r.RemotePort = remotePort;
  r.Length = length;
  r.Direction = direction;
  return r;
}

// Program -> sent, received bytes.
std::map<std::string, std::pair<std::int64_t, std::int64_t>> Rows(const TProgramTotalsTable& table) {
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> rows;
  for (const ProgramTotals& r : table.AllRows()) rows[r.Program] = {r.SentBytes, r.RecvBytes};
  return rows;
}

struct TAttributionCase {
  const char* Name;
  bool Listing, Throws;
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> Expected;
};

class ProgramAttributionTest : public ::testing::TestWithParam<TAttributionCase> {};

// Port 4000 is a program's, port 5000 no socket's; ICMP is nobody's; a TCP
// record without ports (a later fragment) names no socket. A failed listing
// or a faulting look-up leaves the parked bytes "(unknown)".
TEST_P(ProgramAttributionTest, PutsEachRecordDownByTheRules) {
  TFakeHost host;
  host.Sockets[4000] = {77, "resolver"};
  host.Listing = GetParam().Listing;
  host.Throws = GetParam().Throws;
  TProgramAttribution programs(std::make_unique<TFakeOwners>(host), {1ms, 5ms});
  programs.Fold(Record(17, 4000, 100, DirectionSent));
  programs.Fold(Record(17, 4000, 40, DirectionReceived));
  programs.Fold(Record(17, 5000, 7, DirectionSent));
  programs.Fold(Record(1, 0, 64, DirectionReceived));
  programs.Fold(Record(6, 0, 9, DirectionSent));
  // Both records of the socket wait for one answer.
  EXPECT_EQ(programs.Parked(), 2u);
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
  TFakeHost host;
  host.Sockets[4000] = {77, "first"};
  TProgramAttribution programs(std::make_unique<TFakeOwners>(host), {1ms, 5ms});
  // A failed check must not leave the look-up thread held, or the test hangs.
  const auto open = [&] {
    {
      std::lock_guard lock(host.Mutex);
      host.Gate = false;
    }
    host.Changed.notify_all();
  };
  const std::unique_ptr<void, std::function<void(void*)>> release(&host, [&](void*) { open(); });
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
  EXPECT_EQ(programs.Parked(), 1u);
  for (std::uint16_t port = 1; programs.Parked() < TProgramAttribution::MaxKeys; ++port)
    programs.Fold(Record(17, 4001, 1, DirectionSent, port));
  programs.Fold(Record(17, 4002, 2, DirectionSent));
  EXPECT_EQ(Rows(programs.Table())["(unknown)"].first, 2);
  open();
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
  const PacketRecord r = Record(17, 1, 0, DirectionSent);
  for (const auto& [program, user, bytes] : std::vector<std::tuple<std::string, std::string, int>>{
           {"b", "u", 5}, {"a", "v", 7}, {"a", "u", 7}, {"c", "u", 1}, {"d", "u", 2}})
    table.Add(table.RowOf(program, user), r, bytes, 0);
  std::vector<std::string> listed;
  for (const ProgramTotals& row : table.AllRows()) listed.push_back(row.Program + "/" + row.User + "=" + std::to_string(row.SentBytes));
  EXPECT_EQ(listed, (std::vector<std::string>{"(other)/=3", "a/u=7", "a/v=7", "b/u=5"}));
  std::vector<std::string> top;
  for (const ProgramTotals& row : TopPrograms(table.AllRows(), 3)) top.push_back(row.Program + "/" + row.User);
  EXPECT_EQ(top, (std::vector<std::string>{"a/u", "a/v", "b/u"}));
  EXPECT_EQ(TopPrograms(table.AllRows(), -1).size(), 4u);
}

// One reply buffer of the kernel's listing: an IPv4 socket, an IPv6 one
// carrying IPv4, a real IPv6 one (left out), then the end or an error.
TEST(SocketListTest, ReadsIpv4AndMappedSocketsUntilTheEnd) {
  std::vector<std::uint8_t> buffer;
  const auto add = [&](std::uint16_t type, std::uint8_t family, std::uint32_t word2, std::uint32_t addr) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_len = type == SOCK_DIAG_BY_FAMILY ? NLMSG_LENGTH(sizeof(inet_diag_msg)) : NLMSG_LENGTH(4);
    inet_diag_msg m{};
    m.idiag_family = family;
    m.id.idiag_src[family == AF_INET ? 0 : 3] = addr;
    m.id.idiag_src[2] = word2;
    m.id.idiag_sport = htons(4000);
    m.idiag_uid = 1000;
    m.idiag_inode = 99;
    const std::size_t at = buffer.size();
    buffer.resize(at + NLMSG_ALIGN(header.nlmsg_len));
    std::memcpy(buffer.data() + at, &header, sizeof header);
    if (type == SOCK_DIAG_BY_FAMILY) std::memcpy(buffer.data() + at + NLMSG_HDRLEN, &m, sizeof m);
  };
  add(SOCK_DIAG_BY_FAMILY, AF_INET, 0, 0x0100007f);
  add(SOCK_DIAG_BY_FAMILY, AF_INET6, htonl(0xffff), 0x0200007f);
  add(SOCK_DIAG_BY_FAMILY, AF_INET6, htonl(0x1234), 0x0300007f);
  std::vector<TSocketEntry> out;
  bool done = true;
  ASSERT_TRUE(ParseSocketList(buffer.data(), buffer.size(), 17, out, done));
  EXPECT_FALSE(done);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].LocalAddr, 0x0200007fu);
  EXPECT_EQ(out[1].LocalPort, 4000);
  EXPECT_EQ(out[1].Inode, 99u);
  for (const auto& [type, ok] : {std::pair{NLMSG_DONE, true}, std::pair{NLMSG_ERROR, false}}) {
    const std::size_t size = buffer.size();
    add(static_cast<std::uint16_t>(type), 0, 0, 0);
    EXPECT_EQ(ParseSocketList(buffer.data(), buffer.size(), 17, out, done), ok);
    EXPECT_TRUE(done);
    buffer.resize(size);
  }
  // A length past the buffer is not a listing.
  EXPECT_FALSE(ParseSocketList(buffer.data(), buffer.size() - 1, 17, out, done));
}

}  // namespace
