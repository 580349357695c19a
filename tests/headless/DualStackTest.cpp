// Real dual-stack traffic between two namespaces made here: HTTP over TCP,
// pings of fragmenting sizes, UDP to the DNS port with a hop-by-hop header.
// tcpdump writes it to a file, which a small reader below counts on its own;
// the report live, the report of the file and the endpoint must count the
// same. Root only.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

#include "headless/ServeProcess.h"
#include "common/Reachable.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kOurs = "2001:db8:1::1";
constexpr const char* kPeer = "2001:db8:1::2";

// What the file holds of our IPv6 datagrams, counted without the program.
struct TIndependentCount {
  std::int64_t Packets[2] = {}, Bytes[2] = {}, IcmpPackets[2] = {};
  std::map<std::string, std::int64_t> SentTo, ReceivedFrom;
};

// Reads a classic Ethernet capture file; directions as seen from Ours.
TIndependentCount CountFile(const std::string& path, const std::string& ours) {
  const std::string file = ReadWholeFile(path);
  TIndependentCount count;
  const auto u8 = [&](std::size_t at) -> std::uint32_t {
    return at < file.size() ? static_cast<std::uint8_t>(file[at]) : 0u;
  };
  const auto le32 = [&](std::size_t at) { return u8(at) | u8(at + 1) << 8 | u8(at + 2) << 16 | u8(at + 3) << 24; };
  const auto text = [&](std::size_t at) {
    char out[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, file.data() + at, out, sizeof out);
    return std::string(out);
  };
  for (std::size_t at = 24; at + 16 <= file.size();) {
    const std::size_t caplen = le32(at + 8), frame = at + 16;
    at = frame + caplen;
    if ((u8(frame + 12) << 8 | u8(frame + 13)) != 0x86DD) continue;
    const std::size_t ip = frame + 14;
    const std::string source = text(ip + 8), dest = text(ip + 24);
    const std::int64_t length = 40 + (u8(ip + 4) << 8 | u8(ip + 5));
    std::uint32_t next = u8(ip + 6);
    std::size_t header = ip + 40;
    while (next == 0 || next == 43 || next == 60 || next == 44) {
      const std::size_t size = next == 44 ? 8u : (u8(header + 1) + 1u) * 8u;
      next = u8(header);
      header += size;
    }
    for (int d = 0; d < 2; ++d) {
      if ((d == 0 ? source : dest) != ours) continue;
      count.Packets[d] += 1;
      count.Bytes[d] += length;
      count.IcmpPackets[d] += next == 58;
      (d == 0 ? count.SentTo[dest] : count.ReceivedFrom[source]) += length;
    }
  }
  return count;
}

class DualStackLive : public testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TEST_NAMESPACES();
    const std::string tag = std::to_string(getpid());
    Ours = std::make_unique<TTestNamespace>("wpd" + tag);
    Peer = std::make_unique<TTestNamespace>("wpe" + tag);
    Ours->Run("ip link add wv" + tag + " type veth peer name wu" + tag + " netns " + Peer->Name);
    Ours->Run("ip addr add 192.0.2.1/24 dev wv" + tag);
    Ours->Run("ip addr add " + std::string(kOurs) + "/64 dev wv" + tag + " nodad");
    Ours->Run("ip link set wv" + tag + " up");
    Peer->Run("ip addr add 192.0.2.2/24 dev wu" + tag);
    Peer->Run("ip addr add " + std::string(kPeer) + "/64 dev wu" + tag + " nodad");
    Peer->Run("ip link set wu" + tag + " up");
    Ours->Run("ping -6 -c 1 -W 5 " + std::string(kPeer));
    Dir = fs::temp_directory_path() / ("wirepeek-dual-" + tag);
    fs::create_directories(Dir);
    Interface = "wv" + tag;
  }
  void TearDown() override {
    if (!Dir.empty()) fs::remove_all(Dir);
  }

  std::unique_ptr<TTestNamespace> Ours, Peer;
  fs::path Dir;
  std::string Interface;
};

TEST_F(DualStackLive, ReportEndpointAndFileCountIpv6AsAnIndependentReadingOfTcpdumpsFile) {
  const auto file = (Dir / "six.pcap").string();
  TChildProcess dump(*Ours, {"/usr/bin/tcpdump", "-i", Interface, "-n", "-U", "-w", file, "ip6"}, Dir, "tcpdump");
  if (!dump.WaitForError("listening on", 10s)) GTEST_SKIP() << "no tcpdump: " << dump.Errors();
  TChildProcess web(*Peer, {"/usr/bin/python3", "-m", "http.server", "80", "--bind", kPeer}, Dir, "web");
  TChildProcess serve(*Ours, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", kOurs, "--json"}, Dir, "serve");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  const int port = ServedPort(serve.Errors());
  TChildProcess report(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", kOurs, "--seconds", "60", "--json"}, Dir,
                       "report");
  // Both captures are open once the report's capture socket shows.
  std::this_thread::sleep_for(1500ms);

  const std::string peer = kPeer;
  Ours->Run("curl -6 -s -o /dev/null --retry 5 --retry-connrefused http://[" + peer + "]/");
  Ours->Run("ping -6 -q -c 3 -i 0.2 -s 3000 " + peer);
  Ours->Run("ping -6 -q -c 3 -i 0.2 -s 56 " + peer);
  Ours->Run("/usr/bin/python3 -c \"import socket; s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); "
            "s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_HOPOPTS, bytes([0, 0, 1, 4, 0, 0, 0, 0])); "
            "[s.sendto(b'q' * 100, ('" + peer + "', 53)) for _ in range(5)]\"");
  std::this_thread::sleep_for(500ms);
  const json endpoint = [&] {
    TInNamespace inside(*Ours);
    return json::parse(HttpGet(port, "/report.json").Body);
  }();
  EXPECT_EQ(report.Stop(SIGTERM), 0) << report.Errors();
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
  std::this_thread::sleep_for(300ms);
  dump.Stop(SIGINT);
  web.Stop(SIGTERM);

  TChildProcess read(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", kOurs, "--read", file, "--json"}, Dir, "read");
  ASSERT_EQ(read.Wait(20s), 0) << read.Errors();
  const TIndependentCount expected = CountFile(file, kOurs);
  ASSERT_GT(expected.Packets[0], 20);
  ASSERT_GT(expected.IcmpPackets[1], 6);  // the large echo replies came in fragments
  const json live = json::parse(report.Output()), final = json::parse(serve.Output()),
             fromFile = json::parse(read.Output());
  for (const json* r : {&live, &final, &endpoint, &fromFile}) {
    SCOPED_TRACE(r->dump());
    EXPECT_EQ((*r)["adapter"], kOurs);
    for (int d = 0; d < 2; ++d) {
      const json& side = (*r)[d == 0 ? "sent" : "received"];
      EXPECT_EQ(side["packets"][0], expected.Packets[d]);
      EXPECT_EQ(side["bytes"][0], expected.Bytes[d]);
      EXPECT_EQ(side["packets"][1], expected.IcmpPackets[d]);
    }
    // HTTP client over TCP, DNS client over UDP behind its hop-by-hop header.
    EXPECT_GT((*r)["sent"]["packets"][5], 3);
    EXPECT_EQ((*r)["sent"]["packets"][3], 5);
    std::map<std::string, std::int64_t> sentTo, receivedFrom;
    for (const json& row : (*r)["addresses"]) {
      sentTo[row["addr"]] = row["sent_bytes"];
      receivedFrom[row["addr"]] = row["recv_bytes"];
    }
    for (const auto& [addr, bytes] : expected.SentTo) EXPECT_EQ(sentTo[addr], bytes) << addr;
    for (const auto& [addr, bytes] : expected.ReceivedFrom) EXPECT_EQ(receivedFrom[addr], bytes) << addr;
  }
  // Only IPv6 was counted (the file holds nothing else).
  EXPECT_EQ(fromFile["total_packets"], live["total_packets"]);
}

}  // namespace

namespace {

// Loopback's IPv6 address is watched like 127.0.0.1: each ping to itself is
// counted once in each direction.
TEST_F(DualStackLive, LoopbackIpv6IsCaptured) {
  TChildProcess report(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", "::1", "--seconds", "60", "--json"}, Dir,
                       "loopback");
  std::this_thread::sleep_for(1500ms);
  Ours->Run("ping -6 -q -c 4 -i 0.2 ::1");
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(report.Stop(SIGTERM), 0) << report.Errors();
  const json r = json::parse(report.Output());
  EXPECT_EQ(r["adapter"], "::1");
  for (const char* side : {"sent", "received"}) {
    EXPECT_EQ(r[side]["packets"][1], 8) << r.dump();
    EXPECT_EQ(r[side]["bytes"][1], 8 * 104) << r.dump();
  }
  ASSERT_EQ(r["addresses"].size(), 1u);
  EXPECT_EQ(r["addresses"][0]["addr"], "::1");
}

}  // namespace
