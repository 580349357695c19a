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
// each direction. The interface is watched whole too, in the report and the
// window: both families, its link-local address and the addresses it is
// given while the capture runs, as DHCP or SLAAC would.
TEST_F(DualStackLive, ReportEndpointWindowAndFileCountAsAnIndependentReadingOfTcpdumpsFile) {
  // Nothing the namespaces send by themselves (solicitations, neighbour
  // probes, the reports after an address test) may fall between the starts
  // and ends of the captures.
  const std::string peerInterface = "wu" + std::to_string(getpid());
  std::string mac[2], tentative = "?";
  for (int i = 0; i < 2; ++i) {
    TTestNamespace& ns = i == 0 ? *Ours : *Peer;
    const std::string dev = i == 0 ? Interface : peerInterface;
    ns.Run("sysctl -q -w net.ipv6.conf." + dev + ".router_solicitations=0");
    CommandOutput("ip netns exec " + ns.Name + " cat /sys/class/net/" + dev + "/address", mac[i]);
    mac[i].resize(mac[i].find('\n'));
    for (int n = 0; n < 100 && !tentative.empty(); ++n, std::this_thread::sleep_for(50ms))
      CommandOutput("ip netns exec " + ns.Name + " ip -6 addr show dev " + dev + " tentative", tentative);
  }
  Ours->Run("ip -6 neigh replace " + std::string(kPeer) + " lladdr " + mac[1] + " dev " + Interface + " nud permanent");
  for (const std::string six : {kOurs, "2001:db8:1::3"})
    Peer->Run("ip -6 neigh replace " + six + " lladdr " + mac[0] + " dev " + peerInterface + " nud permanent");
  std::this_thread::sleep_for(4s);

  const auto file = (Dir / "dual.pcap").string();
  TChildProcess dump(*Ours, {"/usr/bin/tcpdump", "-i", Interface, "-n", "-U", "-w", file, "ip or ip6"}, Dir, "tcpdump");
  if (!dump.WaitForError("listening on", 10s)) GTEST_SKIP() << "no tcpdump: " << dump.Errors();
  TChildProcess web(*Peer, {"/usr/bin/python3", "-m", "http.server", "80", "--bind", "::"}, Dir, "web");
  TChildProcess serve(*Ours, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", kOurs, "--json"}, Dir, "serve");
  TChildProcess serveWhole(*Ours, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", Interface}, Dir, "serve-whole");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  ASSERT_TRUE(serveWhole.WaitForError("/metrics for ", 10s)) << serveWhole.Errors();
  const auto report = [&](const std::string& adapter, const char* name) {
    return TChildProcess(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", adapter, "--seconds", "60", "--json"}, Dir,
                         name);
  };
  TChildProcess six = report(kOurs, "report"), loopback = report("::1", "loopback"), whole = report(Interface, "whole");
  long captures = 6;  // tcpdump's, the endpoints' and the reports'
#ifdef WIREPEEK_WINDOW
  // A copy, whose settings file beside it goes with it.
  const TReachableCopy copy({WIREPEEK_WINDOW});
  const std::string home = Dir.string();
  TChildProcess window(*Ours, {"/usr/bin/env", "HOME=" + home, "XDG_STATE_HOME=" + home, "XDG_CONFIG_HOME=" + home,
                "QT_QPA_PLATFORM=offscreen", copy(WIREPEEK_WINDOW), "--start", Interface, "--quit-after", "14"}, Dir, "window");
  captures = 7;
#endif
  // The captures have their sockets once the namespace holds them all;
  // their filters follow.
  const auto packetSockets = [&] {
    std::ifstream list("/proc/" + std::to_string(six.Id()) + "/net/packet");
    return std::count(std::istreambuf_iterator<char>(list), {}, '\n') - 1;
  };
  for (int i = 0; i < 400 && packetSockets() < captures; ++i) std::this_thread::sleep_for(25ms);
  ASSERT_EQ(packetSockets(), captures);
  std::this_thread::sleep_for(1s);

  const std::string peer = kPeer;
  Ours->Run("curl -6 -s -o /dev/null --retry 5 --retry-connrefused http://[" + peer + "]/");
  Ours->Run("curl -4 -s -o /dev/null http://192.0.2.2/");
  Ours->Run("ping -6 -q -c 3 -i 0.2 -s 3000 " + peer);  // fragmented
  Ours->Run("ping -6 -q -c 4 -i 0.2 ::1");
  Ours->Run("/usr/bin/python3 -c \"import socket; s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); "
            "s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_HOPOPTS, bytes([0, 0, 1, 4, 0, 0, 0, 0])); "
            "[s.sendto(b'q' * 100, ('" + peer + "', 53)) for _ in range(5)]; __import__('time').sleep(1.5)\"");
  Ours->Run("ip addr add 192.0.2.3/24 dev " + Interface);
  Ours->Run("ip addr add 2001:db8:1::3/64 dev " + Interface + " nodad");
  std::this_thread::sleep_for(1500ms);  // three looks of the interface's watch
  Ours->Run("ping -q -c 3 -i 0.2 -I 192.0.2.3 192.0.2.2");
  Ours->Run("curl -6 -s -o /dev/null --interface 2001:db8:1::3 http://[" + peer + "]/");
  std::this_thread::sleep_for(500ms);
  std::vector<std::pair<std::string, json>> counted;  // what watched the interface
#ifdef WIREPEEK_WINDOW
  ASSERT_EQ(window.Wait(20s), 0) << window.Errors();
  counted.emplace_back("window", json::parse(window.Output()));
#endif
  const auto served = [&](TChildProcess& endpoint) {
    TInNamespace inside(*Ours);
    return json::parse(HttpGet(ServedPort(endpoint.Errors()), "/report.json").Body);
  };
  const json endpoint = served(serve);
  counted.emplace_back("endpoint", served(serveWhole));
  for (TChildProcess* p : {&six, &loopback, &whole, &serve, &serveWhole}) EXPECT_EQ(p->Stop(SIGTERM), 0) << p->Errors();
  counted.emplace_back("report", json::parse(whole.Output()));
  std::this_thread::sleep_for(300ms);
  dump.Stop(SIGINT);
  web.Stop(SIGTERM);
  TChildProcess read(*Ours, {WIREPEEK_BINARY, "--report", "--adapter", kOurs, "--read", file, "--json"}, Dir, "read");
  ASSERT_EQ(read.Wait(20s), 0) << read.Errors();

  // Every address the interface held by the end, from the system's listing.
  std::string listing;
  ASSERT_EQ(CommandOutput("ip -n " + Ours->Name + " -br addr show dev " + Interface, listing), 0);
  std::set<std::string> all;
  std::istringstream words(listing);
  for (std::string w; words >> w;) all.insert(w.find('/') == std::string::npos ? "" : w.substr(0, w.find('/')));
  all.erase("");
  ASSERT_EQ(all.size(), 5u) << listing;  // two IPv4, two global IPv6 and the link-local one
  const TIndependentCount expected = CountTcpdumpFile(file, {kOurs}), interface = CountTcpdumpFile(file, all);
  ASSERT_GT(expected.Icmp[1], 6);  // the large echo replies came in fragments
  for (const json& r : {json::parse(six.Output()), json::parse(serve.Output()), endpoint, json::parse(read.Output())})
    counted.emplace_back(kOurs, r);
  for (const auto& [name, r] : counted) {
    SCOPED_TRACE(name + ": " + r.dump());
    const TIndependentCount& count = name == kOurs ? expected : interface;
    EXPECT_EQ(r["adapter"], name == kOurs ? kOurs : Interface);
    std::map<std::string, std::int64_t> remote[2];
    for (const json& row : r["addresses"])
      remote[0][row["addr"]] = row["sent_bytes"], remote[1][row["addr"]] = row["recv_bytes"];
    for (int d = 0; d < 2; ++d) {
      const json& side = r[d == 0 ? "sent" : "received"];
      EXPECT_EQ(side["packets"][0], count.Packets[d]);
      EXPECT_EQ(side["bytes"][0], count.Bytes[d]);
      EXPECT_EQ(side["packets"][1], count.Icmp[d]);
      for (const auto& [addr, bytes] : count.Remote[d]) EXPECT_EQ(remote[d][addr], bytes) << addr;
    }
    // HTTP client over TCP; DNS client over UDP behind its hop-by-hop header.
    EXPECT_GT(r["sent"]["packets"][5], 3);
    EXPECT_EQ(r["sent"]["packets"][3], 5);
    // An interface's totals count both families.
    if (name != kOurs) {
      EXPECT_EQ(r["total_packets"], interface.TotalPackets);
      EXPECT_EQ(r["total_bytes"], interface.TotalBytes);
    }
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

}  // namespace
