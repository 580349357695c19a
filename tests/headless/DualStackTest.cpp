// Real dual-stack traffic between two namespaces made here: HTTP over TCP,
// pings of fragmenting sizes, UDP to the DNS port with a hop-by-hop header.
// tcpdump writes it to a file, which a small reader of the tests counts on
// its own; the report live, the report of the file and the endpoint must
// count the same. Root only.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "headless/ServeProcess.h"
#include "common/Reachable.h"
#include "common/TcpdumpCount.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kOurs = "2001:db8:1::1";
constexpr const char* kPeer = "2001:db8:1::2";

class DualStackLive : public testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TEST_NAMESPACES();
    const std::string tag = std::to_string(getpid());
    Ours = std::make_unique<TTestNamespace>("wpd" + tag);
    Peer = std::make_unique<TTestNamespace>("wpe" + tag);
    Interface = "wv" + tag;
    Ours->Run("ip link add " + Interface + " type veth peer name wu" + tag + " netns " + Peer->Name);
    for (const auto& [ns, dev, four, six] : {std::tuple{Ours.get(), Interface, "192.0.2.1", kOurs},
                                             std::tuple{Peer.get(), "wu" + tag, "192.0.2.2", kPeer}}) {
      ns->Run("ip addr add " + std::string(four) + "/24 dev " + dev);
      ns->Run("ip addr add " + std::string(six) + "/64 dev " + dev + " nodad");
      ns->Run("ip link set " + dev + " up");
    }
    Ours->Run("ping -6 -c 1 -W 5 " + std::string(kPeer));
    Dir = fs::temp_directory_path() / ("wirepeek-dual-" + tag);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    if (!Dir.empty()) fs::remove_all(Dir);
  }

  std::unique_ptr<TTestNamespace> Ours, Peer;
  fs::path Dir;
  std::string Interface;
};

// Besides, ::1 is watched like 127.0.0.1: each ping to itself counts once in
// each direction.
TEST_F(DualStackLive, ReportEndpointAndFileCountIpv6AsAnIndependentReadingOfTcpdumpsFile) {
  const auto file = (Dir / "six.pcap").string();
  TChildProcess dump(*Ours, {"/usr/bin/tcpdump", "-i", Interface, "-n", "-U", "-w", file, "ip6"}, Dir, "tcpdump");
  if (!dump.WaitForError("listening on", 10s)) GTEST_SKIP() << "no tcpdump: " << dump.Errors();
  TChildProcess web(*Peer, {"/usr/bin/python3", "-m", "http.server", "80", "--bind", kPeer}, Dir, "web");
  TChildProcess serve(*Ours, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", kOurs, "--json"}, Dir, "serve");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  const auto report = [&](const char* adapter, const char* name) {
    return TChildProcess(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", adapter, "--seconds", "60", "--json"}, Dir,
                         name);
  };
  TChildProcess six = report(kOurs, "report"), loopback = report("::1", "loopback");
  // The captures have their sockets once the namespace holds four packet
  // sockets (tcpdump's, the endpoint's and theirs); their filters follow.
  const auto packetSockets = [&] {
    std::ifstream list("/proc/" + std::to_string(six.Id()) + "/net/packet");
    return std::count(std::istreambuf_iterator<char>(list), {}, '\n') - 1;
  };
  for (int i = 0; i < 400 && packetSockets() < 4; ++i) std::this_thread::sleep_for(25ms);
  ASSERT_EQ(packetSockets(), 4);
  std::this_thread::sleep_for(1s);

  const std::string peer = kPeer;
  Ours->Run("curl -6 -s -o /dev/null --retry 5 --retry-connrefused http://[" + peer + "]/");
  Ours->Run("ping -6 -q -c 3 -i 0.2 -s 3000 " + peer);  // fragmented
  Ours->Run("ping -6 -q -c 4 -i 0.2 ::1");
  Ours->Run("/usr/bin/python3 -c \"import socket; s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); "
            "s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_HOPOPTS, bytes([0, 0, 1, 4, 0, 0, 0, 0])); "
            "[s.sendto(b'q' * 100, ('" + peer + "', 53)) for _ in range(5)]; __import__('time').sleep(1.5)\"");
  std::this_thread::sleep_for(500ms);
  const json endpoint = [&] {
    TInNamespace inside(*Ours);
    return json::parse(HttpGet(ServedPort(serve.Errors()), "/report.json").Body);
  }();
  for (TChildProcess* p : {&six, &loopback, &serve}) EXPECT_EQ(p->Stop(SIGTERM), 0) << p->Errors();
  std::this_thread::sleep_for(300ms);
  dump.Stop(SIGINT);
  web.Stop(SIGTERM);
  TChildProcess read(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", kOurs, "--read", file, "--json"}, Dir, "read");
  ASSERT_EQ(read.Wait(20s), 0) << read.Errors();

  const TIndependentCount expected = CountTcpdumpFile(file, {kOurs});
  ASSERT_GT(expected.Icmp[1], 6);  // the large echo replies came in fragments
  for (const json& r : {json::parse(six.Output()), json::parse(serve.Output()), endpoint, json::parse(read.Output())}) {
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r["adapter"], kOurs);
    std::map<std::string, std::int64_t> remote[2];
    for (const json& row : r["addresses"])
      remote[0][row["addr"]] = row["sent_bytes"], remote[1][row["addr"]] = row["recv_bytes"];
    for (int d = 0; d < 2; ++d) {
      const json& side = r[d == 0 ? "sent" : "received"];
      EXPECT_EQ(side["packets"][0], expected.Packets[d]);
      EXPECT_EQ(side["bytes"][0], expected.Bytes[d]);
      EXPECT_EQ(side["packets"][1], expected.Icmp[d]);
      for (const auto& [addr, bytes] : expected.Remote[d]) EXPECT_EQ(remote[d][addr], bytes) << addr;
    }
    // HTTP client over TCP; DNS client over UDP behind its hop-by-hop header.
    EXPECT_GT(r["sent"]["packets"][5], 3);
    EXPECT_EQ(r["sent"]["packets"][3], 5);
  }
  // The UDP socket, still open at the look-up, is found among IPv6 sockets.
  const json programs = json::parse(six.Output())["programs"];
  EXPECT_TRUE(std::any_of(programs.begin(), programs.end(),
                          [](const json& p) { return p["user"] == "root" && p["sent_bytes"] > 0; }))
      << programs.dump();
  const json self = json::parse(loopback.Output());
  for (const char* side : {"sent", "received"}) EXPECT_EQ(self[side]["bytes"][1], 8 * 104) << self.dump();
  EXPECT_EQ(self["addresses"][0]["addr"], "::1");
}

// A whole interface: both families, its link-local address and the
// addresses it is given while the capture runs, as DHCP or SLAAC would; in
// the report, the endpoint and, where this build has one, the window.
TEST_F(DualStackLive, AnInterfaceCountsEveryAddressItHoldsAsTheyComeAsTcpdumpsFileSays) {
  // Nothing the namespaces send by themselves (solicitations, neighbour
  // probes) may fall between the starts and ends of the captures.
  const std::string peerInterface = "wu" + std::to_string(getpid());
  Ours->Run("sysctl -q -w net.ipv6.conf." + Interface + ".router_solicitations=0");
  Peer->Run("sysctl -q -w net.ipv6.conf." + peerInterface + ".router_solicitations=0");
  const auto hardware = [](const TTestNamespace& ns, const std::string& dev) {
    std::string mac;
    CommandOutput("ip netns exec " + ns.Name + " cat /sys/class/net/" + dev + "/address", mac);
    return mac.substr(0, mac.find('\n'));
  };
  Ours->Run("ip -6 neigh replace " + std::string(kPeer) + " lladdr " + hardware(*Peer, peerInterface) + " dev " +
            Interface + " nud permanent");
  for (const std::string six : {kOurs, "2001:db8:1::3"})
    Peer->Run("ip -6 neigh replace " + six + " lladdr " + hardware(*Ours, Interface) + " dev " + peerInterface +
              " nud permanent");
  // The link-local addresses' tests end, then the reports that follow them.
  for (const auto& [ns, dev] : {std::pair{Ours.get(), Interface}, std::pair{Peer.get(), peerInterface}}) {
    std::string tentative = "?";
    for (int i = 0; i < 100 && !tentative.empty(); ++i) {
      CommandOutput("ip netns exec " + ns->Name + " ip -6 addr show dev " + dev + " tentative", tentative);
      if (!tentative.empty()) std::this_thread::sleep_for(50ms);
    }
  }
  std::this_thread::sleep_for(2500ms);
  const auto file = (Dir / "interface.pcap").string();
  TChildProcess dump(*Ours, {"/usr/bin/tcpdump", "-i", Interface, "-n", "-U", "-w", file, "ip or ip6"}, Dir, "tcpdump");
  if (!dump.WaitForError("listening on", 10s)) GTEST_SKIP() << "no tcpdump: " << dump.Errors();
  TChildProcess web(*Peer, {"/usr/bin/python3", "-m", "http.server", "80", "--bind", "::"}, Dir, "web");
  TChildProcess report(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", Interface, "--seconds", "60", "--json"}, Dir,
                       "report");
  TChildProcess serve(*Ours, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", Interface, "--json"}, Dir, "serve");
  long captures = 3;
#ifdef WIREPEEK_WINDOW
  const std::string home = Dir.string();
  TChildProcess window(*Ours, {"/usr/bin/env", "HOME=" + home, "XDG_STATE_HOME=" + home, "XDG_CONFIG_HOME=" + home,
                               "QT_QPA_PLATFORM=offscreen", WIREPEEK_WINDOW, "--start", Interface, "--quit-after", "12"},
                       Dir, "window");
  captures = 4;
#endif
  const auto packetSockets = [&] {
    std::ifstream list("/proc/" + std::to_string(report.Id()) + "/net/packet");
    return std::count(std::istreambuf_iterator<char>(list), {}, '\n') - 1;
  };
  for (int i = 0; i < 400 && packetSockets() < captures; ++i) std::this_thread::sleep_for(25ms);
  ASSERT_EQ(packetSockets(), captures) << report.Errors();
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  std::this_thread::sleep_for(1s);

  Ours->Run("ping -q -c 3 -i 0.2 192.0.2.2");
  Ours->Run("ping -6 -q -c 3 -i 0.2 " + std::string(kPeer));
  Ours->Run("curl -4 -s -o /dev/null --retry 5 --retry-connrefused http://192.0.2.2/");
  Ours->Run("ip addr add 192.0.2.3/24 dev " + Interface);
  Ours->Run("ip addr add 2001:db8:1::3/64 dev " + Interface + " nodad");
  std::this_thread::sleep_for(1500ms);
  Ours->Run("ping -q -c 3 -i 0.2 -I 192.0.2.3 192.0.2.2");
  Ours->Run("curl -6 -s -o /dev/null --interface 2001:db8:1::3 http://[" + std::string(kPeer) + "]/");
  std::this_thread::sleep_for(500ms);
  std::vector<std::pair<std::string, json>> counted;
  {
    TInNamespace inside(*Ours);
    counted.emplace_back("endpoint", json::parse(HttpGet(ServedPort(serve.Errors()), "/report.json").Body));
  }
#ifdef WIREPEEK_WINDOW
  ASSERT_EQ(window.Wait(20s), 0) << window.Errors();
  counted.emplace_back("window", json::parse(window.Output()));
#endif
  for (TChildProcess* p : {&report, &serve}) EXPECT_EQ(p->Stop(SIGTERM), 0) << p->Errors();
  counted.emplace_back("report", json::parse(report.Output()));
  std::this_thread::sleep_for(300ms);
  dump.Stop(SIGINT);
  web.Stop(SIGTERM);

  // Every address the interface held by the end, from the system's own listing.
  std::string listing;
  ASSERT_EQ(CommandOutput("ip netns exec " + Ours->Name + " ip -o addr show dev " + Interface, listing), 0);
  std::set<std::string> ours;
  std::istringstream words(listing);
  for (std::string word, previous; words >> word; previous = word)
    if (previous == "inet" || previous == "inet6") ours.insert(word.substr(0, word.find('/')));
  ASSERT_EQ(ours.size(), 5u) << listing;  // two IPv4, two global IPv6 and the link-local one
  const TIndependentCount expected = CountTcpdumpFile(file, ours);
  ASSERT_TRUE(expected.Remote[1].count("192.0.2.2") && expected.Remote[1].count(kPeer));
  for (const auto& [name, r] : counted) {
    SCOPED_TRACE(name + ": " + r.dump());
    EXPECT_EQ(r["adapter"], Interface);
    EXPECT_EQ(r["total_packets"], expected.TotalPackets);
    EXPECT_EQ(r["total_bytes"], expected.TotalBytes);
    std::map<std::string, std::int64_t> remote[2];
    for (const json& row : r["addresses"])
      remote[0][row["addr"]] = row["sent_bytes"], remote[1][row["addr"]] = row["recv_bytes"];
    for (int d = 0; d < 2; ++d) {
      const json& side = r[d == 0 ? "sent" : "received"];
      EXPECT_EQ(side["packets"][0], expected.Packets[d]);
      EXPECT_EQ(side["bytes"][0], expected.Bytes[d]);
      EXPECT_EQ(side["packets"][1], expected.Icmp[d]);
      for (const auto& [addr, bytes] : expected.Remote[d]) EXPECT_EQ(remote[d][addr], bytes) << addr;
    }
    EXPECT_GT(r["sent"]["packets"][5], 6);  // HTTP client over both families
  }
}

}  // namespace
