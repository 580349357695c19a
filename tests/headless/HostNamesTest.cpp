// Host names of remote addresses: the cache's rules against a resolver of the
// test's own, and, live, the shipped programs against a real DNS server that
// serves PTR records in a private namespace. The live test needs root.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "headless/ServeProcess.h"
#include "names/HostNames.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;
using TKind = TNameAnswer::TKind;

TEST(HostNameCacheTest, AnswersAreKeptForTheirTtlWithinBoundsAndTheLeastRecentGoFirst) {
  const std::pair<TNameAnswer, std::chrono::seconds> cases[] = {
      {{TKind::Named, "a.test", 600}, 600s},        {{TKind::Named, "a.test", 0}, 30s},
      {{TKind::Named, "a.test", 9'000'000}, 86'400s}, {{TKind::NoName, "", 120}, 120s},
      {{TKind::NoName, "", 86'400}, 3'600s},        {{TKind::NoName, "", -1}, 300s}, {{TKind::Failed, "", 900}, 300s}};
  const auto t0 = THostNameCache::TClock::now();
  const TIpAddress a(1u), b(2u), c(3u);
  for (const auto& [answer, kept] : cases) {
    THostNameCache cache(8);
    cache.Put(a, answer, t0);
    std::string name;
    EXPECT_EQ(cache.Find(a, t0 + kept - 1s, &name), answer.Kind == TKind::Named ? THostNameCache::TState::Named
                                                                                 : THostNameCache::TState::NoName);
    EXPECT_EQ(name, answer.Name);
    EXPECT_EQ(cache.Find(a, t0 + kept), THostNameCache::TState::Unknown) << answer.TtlSeconds;
  }
  // Two places: the one asked about last stays.
  THostNameCache cache(2);
  for (const TIpAddress& addr : {a, b}) cache.Put(addr, {TKind::Named, "x", 600}, t0);
  cache.Find(a, t0);
  cache.SetPending(c);
  EXPECT_EQ(cache.Find(b, t0), THostNameCache::TState::Unknown);
  EXPECT_EQ(cache.Find(a, t0), THostNameCache::TState::Named);
}

// Answers once the gate opens: odd addresses have a name, even ones none.
struct TGatedResolver final : TNameResolver {
  TNameAnswer Reverse(const TIpAddress& addr) override {
    std::unique_lock lock(Mutex);
    ++Calls;
    MaxAtOnce = std::max(MaxAtOnce, ++AtOnce);
    Opened.notify_all();
    Opened.wait(lock, [&] { return Open; });
    --AtOnce;
    const int last = addr.Bytes()[3];
    return last % 2 ? TNameAnswer{TKind::Named, "host" + std::to_string(last), 600} : TNameAnswer{TKind::NoName, "", 600};
  }
  std::mutex Mutex;
  std::condition_variable Opened;
  bool Open = false;
  int Calls = 0, AtOnce = 0, MaxAtOnce = 0;
};

TEST(HostNamesTest, LookUpsAreCappedAndNoAnswerIsAskedForAgainWhileItHolds) {
  auto resolver = std::make_shared<TGatedResolver>();
  THostNames names(resolver, {.Entries = 64, .Waiting = 3, .InFlight = 2});
  std::vector<TIpAddress> addresses;
  for (std::uint32_t i = 1; i <= 10; ++i) addresses.emplace_back(htonl(0x0a000000 | i));
  for (const auto& a : addresses) EXPECT_EQ(names.Name(a), "");
  {
    std::unique_lock lock(resolver->Mutex);
    resolver->Opened.wait_for(lock, 5s, [&] { return resolver->AtOnce == 2; });
    resolver->Opened.wait_for(lock, 100ms, [&] { return resolver->AtOnce > 2; });  // a third, were there one
    EXPECT_EQ(resolver->MaxAtOnce, 2);
    resolver->Open = true;
    resolver->Opened.notify_all();
  }
  names.Flush(5s);
  // Two in flight and three queued; the rest are left to be asked again.
  {
    std::lock_guard lock(resolver->Mutex);
    EXPECT_LE(resolver->Calls, 5);
  }
  // Asked again until every one has its answer; then none is asked twice.
  for (int round = 0; round < 5; ++round) {
    names.Flush(5s);
    for (const auto& a : addresses) names.Name(a);
  }
  std::lock_guard lock(resolver->Mutex);
  EXPECT_EQ(resolver->Calls, 10);
  for (std::size_t i = 0; i < addresses.size(); ++i)
    EXPECT_EQ(names.Known(addresses[i]), i % 2 == 0 ? "host" + std::to_string(i + 1) : "");
}

long long CountOf(const std::string& text, const std::string& part) {
  long long count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A DNS server in a second namespace names 10.203.0.3 and fd00:203::3 and not 10.203.0.4; the programs watch
// 10.203.0.1 (or fd00:203::1) with it as their resolver. The window and the report show the names (the window as its
// address page has them), each program asks once per address, the look-ups are counted as DNS, and --no-names asks
// nothing.
TEST(HostNamesLive, TheProgramsShowTheNamesARealServerGivesAndAskEachAddressOnce) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  if (!RunCommand("command -v dnsmasq")) GTEST_SKIP() << "needs dnsmasq (scripts/ensure-packages test)";
  const std::string id = std::to_string(getpid());
  TTestNamespace ours("wpnA" + id), peers("wpnB" + id);
  ours.Run("ip link add wpn0 type veth peer name wpn1 netns " + peers.Name);
  for (const char* a : {"10.203.0.1/24", "fd00:203::1/64 nodad"}) ours.Run(std::string("ip addr add ") + a + " dev wpn0");
  for (const char* a : {"10.203.0.2/24", "10.203.0.3/24", "10.203.0.4/24", "fd00:203::3/64 nodad"})
    peers.Run(std::string("ip addr add ") + a + " dev wpn1");
  ours.Run("ip link set wpn0 up");
  peers.Run("ip link set wpn1 up");
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-names-" + id);
  fs::create_directories(dir);
  const std::shared_ptr<void> removeDir(nullptr, [&](void*) { fs::remove_all(dir); });
  std::ofstream(dir / "resolv.conf") << "nameserver 10.203.0.2\n";
  const std::string log = (dir / "dns.log").string();
  TChildProcess dns(peers, {"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                            "--bogus-priv", "--listen-address=10.203.0.2", "--bind-interfaces", "--user=root",
                            "--pid-file=" + (dir / "dns.pid").string(), "--log-queries", "--log-facility=" + log,
                            "--local-ttl=600", "--host-record=four.wirepeek.test,10.203.0.3",
                            "--host-record=six.wirepeek.test,fd00:203::3"},
                    dir, "dns");
  using TNames = std::map<std::string, std::string>;  // address: its name in the report, "-" none
  const TNames named4 = {{"10.203.0.3", "four.wirepeek.test"}, {"10.203.0.4", "-"}},
               unnamed4 = {{"10.203.0.3", "-"}, {"10.203.0.4", "-"}}, named6 = {{"fd00:203::3", "six.wirepeek.test"}};
  const std::vector<std::pair<std::vector<std::string>, const TNames*>> programs = {
#ifdef WIREPEEK_WINDOW
      {{WIREPEEK_WINDOW, "--start", "10.203.0.1", "--quit-after", "9"}, &named4},
      {{WIREPEEK_WINDOW, "--start", "10.203.0.1", "--quit-after", "9", "--no-names"}, &unnamed4},
#endif
      {{WIREPEEK_BINARY, "--report", "--adapter", "10.203.0.1", "--seconds", "8", "--json", "--names"}, &named4},
      {{WIREPEEK_BINARY, "--report", "--adapter", "fd00:203::1", "--seconds", "8", "--json", "--names"}, &named6}};
  std::vector<std::unique_ptr<TChildProcess>> runs;
  for (auto [args, expected] : programs) {
    // The test's resolver in place of the host's, in a mount namespace of the program's own.
    args.insert(args.begin(), {"unshare", "--mount", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                               (dir / "resolv.conf").string()});
    runs.push_back(std::make_unique<TChildProcess>(
        &ours, args, dir, "run" + std::to_string(runs.size()),
        TChildProcess::TOptions{.WorkingFolder = dir,
                                .Environment = {"HOME=" + dir.string(), "XDG_CONFIG_HOME=" + dir.string(),
                                                "XDG_STATE_HOME=" + dir.string(), "QT_QPA_PLATFORM=offscreen"}}));
  }
  // Every program is capturing once its packet socket is there, however
  // slowly it started; then a moment for its filters.
  const auto capturing = [&] {
    std::string sockets;
    CommandOutput("ip netns exec " + ours.Name + " cat /proc/net/packet", sockets);
    return std::count(sockets.begin(), sockets.end(), '\n') - 1;  // below a heading
  };
  for (const auto until = std::chrono::steady_clock::now() + 30s;
       capturing() < static_cast<long>(runs.size()) && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(100ms);
  std::this_thread::sleep_for(1s);
  for (const char* peer : {"10.203.0.3", "fd00:203::3", "10.203.0.4"}) ours.Run(std::string("ping -c 3 -i 0.3 ") + peer);
  const long long asking4 = std::count_if(programs.begin(), programs.end(), [&](auto& p) { return p.second == &named4; });
  for (std::size_t i = 0; i < runs.size(); ++i) {
    ASSERT_EQ(runs[i]->Wait(30s), 0) << runs[i]->Errors();
    const std::string output = runs[i]->Output();
    const json report = json::parse(output.substr(output.rfind("{\"schema\"")), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << output;
    TNames shown;
    for (const auto& row : report["addresses"])
      if (programs[i].second->contains(row["addr"])) shown[row["addr"]] = row.value("name", "-");
    EXPECT_EQ(shown, *programs[i].second) << output;
    // The look-ups of 10.203.0.2, .3 and .4 went from the watched address to the server, and were counted.
    if (programs[i].second != &named6) {
      EXPECT_GE(report["categories"][2]["sent_packets"].get<long long>(), 3 * asking4) << "DNS Client: " << output;
    }
  }
  dns.Stop(SIGTERM);
  const std::string queries = ReadWholeFile(log);
  const std::pair<const char*, long long> asked[] = {
      {"query[PTR] 3.0.203.10.in-addr.arpa from 10.203.0.1", asking4},
      {"query[PTR] 4.0.203.10.in-addr.arpa from 10.203.0.1", asking4},
      {"query[PTR] 3.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.3.0.2.0.0.0.d.f.ip6.arpa from", 1}};
  for (const auto& [question, times] : asked) EXPECT_EQ(CountOf(queries, question), times) << question << "\n" << queries;
}

}  // namespace
