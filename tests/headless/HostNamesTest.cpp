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
  struct TCase {
    TNameAnswer Answer;
    std::chrono::seconds Kept;
  };
  const TCase cases[] = {
      {{TKind::Named, "a.test", 600}, 600s},    {{TKind::Named, "a.test", 0}, 30s},
      {{TKind::Named, "a.test", 9'000'000}, 86'400s},  {{TKind::NoName, "", 120}, 120s},
      {{TKind::NoName, "", 86'400}, 3'600s},   {{TKind::NoName, "", -1}, 300s},
      {{TKind::Failed, "", 900}, 300s},
  };
  const auto t0 = THostNameCache::TClock::now();
  const TIpAddress addr(0x0100000a);
  for (const TCase& c : cases) {
    THostNameCache cache(8);
    cache.Put(addr, c.Answer, t0);
    std::string name;
    const auto expected = c.Answer.Kind == TKind::Named ? THostNameCache::TState::Named : THostNameCache::TState::NoName;
    EXPECT_EQ(cache.Find(addr, t0 + c.Kept - 1s, &name), expected) << c.Answer.TtlSeconds;
    EXPECT_EQ(name, c.Answer.Kind == TKind::Named ? c.Answer.Name : "");
    EXPECT_EQ(cache.Find(addr, t0 + c.Kept), THostNameCache::TState::Unknown) << c.Answer.TtlSeconds;
  }
  // Two places: the one asked about last stays.
  THostNameCache cache(2);
  const TIpAddress a(1u), b(2u), c(3u);
  cache.Put(a, {TKind::Named, "a", 600}, t0);
  cache.Put(b, {TKind::Named, "b", 600}, t0);
  cache.Find(a, t0);
  cache.SetPending(c);
  EXPECT_EQ(cache.Size(), 2u);
  EXPECT_EQ(cache.Find(b, t0), THostNameCache::TState::Unknown);
  EXPECT_EQ(cache.Find(a, t0), THostNameCache::TState::Named);
  EXPECT_EQ(cache.Find(c, t0), THostNameCache::TState::Pending);
}

// Answers after the gate opens: odd addresses have a name, even ones none.
class TGatedResolver final : public TNameResolver {
 public:
  TNameAnswer Reverse(const TIpAddress& addr) override {
    std::unique_lock lock(Mutex);
    ++Calls;
    MaxAtOnce = std::max(MaxAtOnce, ++AtOnce);
    Changed.wait(lock, [&] { return Open; });
    --AtOnce;
    const std::uint8_t last = addr.Bytes()[3];
    if (last % 2 == 0) return {TKind::NoName, "", 600};
    return {TKind::Named, "host" + std::to_string(last) + ".test", 600};
  }
  void Release() {
    std::lock_guard lock(Mutex);
    Open = true;
    Changed.notify_all();
  }
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Open = false;
  int Calls = 0, AtOnce = 0, MaxAtOnce = 0;
};

TEST(HostNamesTest, LookUpsAreCappedAndNoAnswerIsAskedForAgainWhileItHolds) {
  auto resolver = std::make_shared<TGatedResolver>();
  THostNames names(resolver, {.Entries = 64, .Waiting = 3, .InFlight = 2});
  std::vector<TIpAddress> addresses;
  for (std::uint32_t i = 1; i <= 10; ++i) addresses.emplace_back(htonl(0x0a000000 | i));
  for (const auto& a : addresses) EXPECT_EQ(names.Name(a), "");
  std::this_thread::sleep_for(100ms);
  resolver->Release();
  names.Flush(5s);
  {
    std::lock_guard lock(resolver->Mutex);
    EXPECT_LE(resolver->Calls, 2 + 3);  // those in flight and those queued; the rest waited to be asked again
    EXPECT_EQ(resolver->MaxAtOnce, 2);
  }
  // Asked again until every one has its answer; then none is asked twice.
  for (int round = 0; round < 4; ++round) {
    for (const auto& a : addresses) names.Name(a);
    names.Flush(5s);
  }
  std::lock_guard lock(resolver->Mutex);
  EXPECT_EQ(resolver->Calls, 10);
  for (std::size_t i = 0; i < addresses.size(); ++i)
    EXPECT_EQ(names.Known(addresses[i]), i % 2 == 0 ? "host" + std::to_string(i + 1) + ".test" : "");
}

long long CountOf(const std::string& text, const std::string& part) {
  long long count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The name of each address row of a report ("-" none), and the report's DNS client packets sent.
std::pair<std::map<std::string, std::string>, long long> NamesOf(const std::string& output) {
  const json report = json::parse(output.substr(output.rfind("{\"schema\"")), nullptr, false);
  std::map<std::string, std::string> names;
  long long dns = -1;
  if (report.is_discarded()) return {names, dns};
  for (const auto& row : report["addresses"]) names[row["addr"]] = row.value("name", "-");
  for (const auto& category : report["categories"])
    if (category["name"] == "DNS Client") dns = category["sent_packets"];
  return {names, dns};
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
  ours.Run("ip addr add 10.203.0.1/24 dev wpn0");
  ours.Run("ip addr add fd00:203::1/64 dev wpn0 nodad");
  ours.Run("ip link set wpn0 up");
  for (const char* a : {"10.203.0.2/24", "10.203.0.3/24", "10.203.0.4/24", "fd00:203::3/64 nodad"})
    peers.Run(std::string("ip addr add ") + a + " dev wpn1");
  peers.Run("ip link set wpn1 up");
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-names-" + id);
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  const std::shared_ptr<void> removeDir(nullptr, [&](void*) { fs::remove_all(dir); });
  std::ofstream(dir / "resolv.conf") << "nameserver 10.203.0.2\n";
  const std::string log = (dir / "dns.log").string();
  TChildProcess dns(peers, {"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                            "--bogus-priv", "--listen-address=10.203.0.2", "--bind-interfaces", "--user=root",
                            "--pid-file=" + (dir / "dns.pid").string(), "--log-queries", "--log-facility=" + log,
                            "--local-ttl=600", "--host-record=four.wirepeek.test,10.203.0.3",
                            "--host-record=six.wirepeek.test,fd00:203::3"},
                    dir, "dns");
  // Each program sees the test's resolver in place of the host's, in a mount namespace of its own.
  const auto withResolver = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"unshare", "--mount", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                               (dir / "resolv.conf").string()});
    return args;
  };
  const TChildProcess::TOptions window = {
      .WorkingFolder = dir,
      .Environment = {"HOME=" + dir.string(), "XDG_STATE_HOME=" + dir.string(), "XDG_CONFIG_HOME=" + dir.string(),
                      "QT_QPA_PLATFORM=offscreen"}};
  using TNames = std::map<std::string, std::string>;  // address: its name in the report, "-" none
  const TNames named4 = {{"10.203.0.3", "four.wirepeek.test"}, {"10.203.0.4", "-"}},
               unnamed4 = {{"10.203.0.3", "-"}, {"10.203.0.4", "-"}}, named6 = {{"fd00:203::3", "six.wirepeek.test"}};
  struct TRun {
    std::unique_ptr<TChildProcess> Process;
    const TNames& Expected;
  };
  const auto exporter = [&](const char* adapter, const char* name) {
    return std::make_unique<TChildProcess>(
        &ours, withResolver({WIREPEEK_BINARY, "--report", "--adapter", adapter, "--seconds", "8", "--json", "--names"}),
        dir, name, TChildProcess::TOptions{});
  };
  std::vector<TRun> runs;
#ifdef WIREPEEK_WINDOW
  runs.push_back({std::make_unique<TChildProcess>(
                      &ours, withResolver({WIREPEEK_WINDOW, "--start", "10.203.0.1", "--quit-after", "9"}), dir, "window",
                      window),
                  named4});
  runs.push_back({std::make_unique<TChildProcess>(
                      &ours, withResolver({WIREPEEK_WINDOW, "--start", "10.203.0.1", "--quit-after", "9", "--no-names"}),
                      dir, "unnamed", window),
                  unnamed4});
#endif
  runs.push_back({exporter("10.203.0.1", "report"), named4});
  runs.push_back({exporter("fd00:203::1", "report6"), named6});
  std::this_thread::sleep_for(3s);
  for (const char* peer : {"10.203.0.3", "fd00:203::3", "10.203.0.4"}) ours.Run(std::string("ping -c 3 -i 0.3 ") + peer);
  // The programs of each family that look names up.
  const long long asking4 = std::count_if(runs.begin(), runs.end(), [&](const TRun& r) { return &r.Expected == &named4; });
  for (const auto& [process, expected] : runs) {
    ASSERT_EQ(process->Wait(30s), 0) << process->Errors();
    const auto [shown, dnsPackets] = NamesOf(process->Output());
    for (const auto& [addr, name] : expected) {
      ASSERT_TRUE(shown.contains(addr)) << addr << ": " << process->Output();
      EXPECT_EQ(shown.at(addr), name) << addr << ": " << process->Output();
    }
    // The look-ups of 10.203.0.2, .3 and .4 went from the watched address to the server, and were counted.
    if (&expected != &named6) {
      EXPECT_GE(dnsPackets, 3 * asking4) << process->Output();
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
