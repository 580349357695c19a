// The metrics endpoint and the JSON lines, live: the program itself runs in a
// private network namespace made here, so the loopback traffic it counts is
// only the test's. Root only.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <regex>

#include "headless/ServeProcess.h"
#include "common/MetricSample.h"
#include "common/Reachable.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

// UDP to the DNS port on loopback: counted once each way, as DNS Client sent
// and DNS Server received; a 100-byte payload makes 128-byte datagrams.
constexpr int kPayload = 100;
constexpr int kDatagramBytes = kPayload + 28;
constexpr std::size_t kDnsClient = 3, kDnsServer = 2;

void SendDns(int count) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  from.sin_port = htons(5300);
  to.sin_port = htons(53);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) throw std::runtime_error("bind");
  const std::string payload(kPayload, 'q');
  for (int i = 0; i < count; ++i)
    if (sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
      throw std::runtime_error("sendto");
  close(fd);
}

// Threads of ours that still hold a capability. The thread checker runs a
// thread of its own from before main, which no drop reaches.
int ThreadsWithCapabilities(const std::vector<std::string>& masks) {
  int holding = 0;
  for (const auto& mask : masks) holding += mask != "0000000000000000";
#if defined(__SANITIZE_THREAD__)
  if (holding > 0) --holding;
#endif
  return holding;
}

const std::string kDnsSentSeries =
    R"(wirepeek_bytes_total{adapter="127.0.0.1",direction="sent",service="dns",role="client"})";
const std::string kDnsReceivedSeries =
    R"(wirepeek_bytes_total{adapter="127.0.0.1",direction="received",service="dns",role="server"})";

class ServeEndpointLive : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TestNamespacesUnavailable().empty()) return;
    Ns = std::make_unique<TTestNamespace>("wph" + std::to_string(getpid()));
  }
  static void TearDownTestSuite() { Ns.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_TEST_NAMESPACES();
    ASSERT_TRUE(Ns) << "the test network was not made";
    Dir = fs::temp_directory_path() / ("wirepeek-serve-" + std::to_string(getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override {
    if (!Dir.empty()) fs::remove_all(Dir);
  }

  // The program serving on a free loopback port of the namespace.
  std::unique_ptr<TChildProcess> Serve(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", "127.0.0.1", "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto child = std::make_unique<TChildProcess>(*Ns, argv, Dir, "serve" + std::to_string(++Started));
    EXPECT_TRUE(child->WaitForError("/metrics for ", 10s)) << child->Errors();
    Port = ServedPort(child->Errors());
    return child;
  }

  // Waits until the endpoint shows Bytes of DNS each way; the last exposition.
  std::string WaitForDns(long long bytes) {
    std::string text;
    for (int i = 0; i < 200; ++i) {
      text = HttpGet(Port, "/metrics").Body;
      if (Sample(text, kDnsReceivedSeries) >= bytes) break;
      std::this_thread::sleep_for(25ms);
    }
    return text;
  }

  static inline std::unique_ptr<TTestNamespace> Ns;
  fs::path Dir;
  int Port = 0;
  int Started = 0;
};

TEST_F(ServeEndpointLive, AnswersWhatItServesAndRefusesTheRest) {
  TInNamespace inside(*Ns);
  auto serve = Serve();
  ASSERT_GT(Port, 0);

  const auto text = HttpGet(Port, "/metrics");
  EXPECT_EQ(text.Status, 200);
  EXPECT_NE(text.Headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << text.Headers;
  EXPECT_NE(text.Body.find("wirepeek_capture_up{adapter=\"127.0.0.1\"} 1\n"), std::string::npos);
  const auto open = HttpGet(Port, "/metrics", "Accept: application/openmetrics-text;version=1.0.0\r\n");
  EXPECT_NE(open.Headers.find("application/openmetrics-text; version=1.0.0"), std::string::npos);
  EXPECT_EQ(open.Body.substr(open.Body.size() - 6), "# EOF\n");
  const auto report = HttpGet(Port, "/report.json");
  EXPECT_EQ(report.Status, 200);
  const json object = json::parse(report.Body);
  for (const char* key : {"adapter", "total_packets", "total_bytes", "sent", "received", "dropped", "addresses"})
    EXPECT_TRUE(object.contains(key)) << key;
  const auto landing = HttpGet(Port, "/");
  EXPECT_NE((landing.Headers + landing.Body).find("text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(landing.Body.find("<a href=\"/metrics\">"), std::string::npos) << landing.Body;

  struct TCase {
    const char* Name;
    std::string Request;
    std::vector<int> Statuses;  // any of them; 0 means a closed connection
  };
  const std::vector<TCase> cases = {
      {"unknown path", "GET /nope HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", {404}},
      {"path below", "GET /metrics/x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", {404}},
      {"post", "POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab", {405}},
      {"delete", "DELETE /report.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", {405}},
      {"made-up method", "BREW /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", {400, 405}},
      {"garbage", std::string("\x01\x02\x03 nonsense\r\n\r\n", 16), {400, 0}},
      {"no version", "GET /metrics\r\n\r\n", {400, 0}},
      {"huge header", "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n", {400, 413, 431, 0}},
      {"huge target", "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", {400, 413, 414, 0}},
  };
  for (const auto& c : cases) {
    const auto answer = HttpExchange(Port, c.Request);
    EXPECT_NE(std::find(c.Statuses.begin(), c.Statuses.end(), answer.Status), c.Statuses.end())
        << c.Name << ": " << answer.Status;
    if (answer.Status == 405) {
      EXPECT_NE(answer.Headers.find("Allow: GET, HEAD"), std::string::npos);
    }
  }
  const auto head = HttpExchange(Port, "HEAD /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(head.Status, 200);
  EXPECT_EQ(head.Body, "");

  // An idle client and a slow one are cut off, and others are served meanwhile.
  const auto before = std::chrono::steady_clock::now();
  std::thread idle([&] { HttpExchange(Port, "", 20s); });
  std::thread slow([&] { HttpExchange(Port, "GET /metrics HTTP/1.1\r\nHost:", 20s); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(HttpGet(Port, "/metrics").Status, 200);
  idle.join();
  slow.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);

  // Started as root, it holds no capability once the capture is open: not
  // the main thread, not the capture thread, not the server's threads.
  const auto masks = ThreadCapabilities(serve->Id());
  EXPECT_GE(masks.size(), 3u);
  EXPECT_EQ(ThreadsWithCapabilities(masks), 0);

  EXPECT_TRUE(serve->Running());
  EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
}

// A fault while answering fails that request only; the endpoint goes on.
TEST_F(ServeEndpointLive, AFaultInARequestFailsThatRequestOnly) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread checker delivers signals at its own safe points, not at the faulting instruction";
#elif defined(__clang__)
  GTEST_SKIP() << "clang gives a faulting store no clean-up region (-fnon-call-exceptions is g++'s, which the "
                  "program ships with), so the lock around the fault stays held in this build";
#endif
  TInNamespace inside(*Ns);
  setenv("WIREPEEK_FAULT", "metrics:store:2", 1);
  auto serve = Serve();
  unsetenv("WIREPEEK_FAULT");
  ASSERT_GT(Port, 0);
  for (const int status : {200, 500, 200}) EXPECT_EQ(HttpGet(Port, "/metrics").Status, status);
  EXPECT_TRUE(serve->Running());
  EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
  const std::string errors = serve->Errors();
  EXPECT_EQ(errors.find("wirepeek: fault: "), errors.rfind("wirepeek: fault: ")) << "one report: " << errors;
  EXPECT_NE(errors.find("wirepeek: fault: "), std::string::npos) << errors;
}

// What the service unit gives it: an unprivileged user with CAP_NET_RAW as
// its only (ambient) capability.
TEST_F(ServeEndpointLive, CapturesAsAnUnprivilegedUserWithOnlyTheRawSocketRight) {
  const TReachableCopy copy({WIREPEEK_BINARY});
  TInNamespace inside(*Ns);
  TChildProcess serve(*Ns,
                      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=+net_raw",
                       "--ambient-caps=+net_raw", "--bounding-set=-all,+net_raw", copy(WIREPEEK_BINARY), "--serve",
                       "127.0.0.1:0", "--adapter", "127.0.0.1", "--json"},
                      Dir, "unprivileged");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  Port = ServedPort(serve.Errors());
  SendDns(25);
  EXPECT_EQ(Sample(WaitForDns(25 * kDatagramBytes), kDnsReceivedSeries), 25 * kDatagramBytes);
  EXPECT_EQ(ThreadsWithCapabilities(ThreadCapabilities(serve.Id())), 0);
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
  EXPECT_EQ(json::parse(serve.Output())["sent"]["packets"][kDnsClient], 25);
}

// Started as root, it captures, then serves as an unprivileged user that no
// program it ran could turn back into root.
TEST_F(ServeEndpointLive, StartedAsRootItServesAndReportsAsAnUnprivilegedUser) {
  TInNamespace inside(*Ns);
  const std::pair<std::vector<std::string>, std::string> cases[] = {{{}, "65534"}, {{"--user", "daemon"}, "1"}};
  for (const auto& [extra, uid] : cases) {
    auto serve = Serve(extra);
    SendDns(5);
    EXPECT_EQ(Sample(WaitForDns(5 * kDatagramBytes), kDnsReceivedSeries), 5 * kDatagramBytes);
    const std::string status = ReadWholeFile("/proc/" + std::to_string(serve->Id()) + "/status");
    for (const std::string& line : {"Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid, std::string("Groups:\t \n"),
                                   std::string("CapBnd:\t0000000000000000"), std::string("NoNewPrivs:\t1")})
      EXPECT_NE(status.find("\n" + line), std::string::npos) << line << " in\n" << status;
    EXPECT_EQ(ThreadsWithCapabilities(ThreadCapabilities(serve->Id())), 0);
    // A service manager's stop is prompt: the server's idle wait (two
    // seconds) is not sat out. The bound leaves room for a loaded machine.
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
  }
  // The report too, once its capture is open; it still counts.
  TChildProcess report(*Ns, {WIREPEEK_BINARY, "--report", "--adapter", "127.0.0.1", "--seconds", "3", "--json"}, Dir,
                       "report");
  std::string status;
  for (int i = 0; i < 100 && status.find("\nUid:\t65534\t65534\t65534\t65534") == std::string::npos; ++i) {
    std::this_thread::sleep_for(20ms);
    status = ReadWholeFile("/proc/" + std::to_string(report.Id()) + "/status");
  }
  for (const std::string line : {"Uid:\t65534\t65534\t65534\t65534", "Groups:\t \n", "CapBnd:\t0000000000000000",
                                 "NoNewPrivs:\t1"})
    EXPECT_NE(status.find("\n" + line), std::string::npos) << line << " in\n" << status;
  EXPECT_EQ(ThreadsWithCapabilities(ThreadCapabilities(report.Id())), 0);
  SendDns(5);
  EXPECT_EQ(report.Wait(10s), 0) << report.Errors();
  const json final = json::parse(report.Output());
  EXPECT_EQ(final["received"]["bytes"][kDnsServer], 5 * kDatagramBytes);
  // What a script needs of it: its layout's version, when and how long it ran.
  EXPECT_EQ(final["schema"], 2);
  EXPECT_TRUE(std::regex_match(final["start"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT[\d:]{8}\.\d{3}Z)")));
  EXPECT_NEAR(final["duration_seconds"].get<double>(), 3.0, 0.5);
  EXPECT_TRUE(final["programs"].is_array());
}

TEST_F(ServeEndpointLive, FiguresAgreeWithTheReportTheFinalFiguresAndACaptureFile) {
  TInNamespace inside(*Ns);
  // tcpdump writes the same datagrams to a file meanwhile.
  const auto file = (Dir / "dns.pcap").string();
  TChildProcess dump(*Ns, {"/usr/bin/tcpdump", "-i", "lo", "-n", "-U", "-w", file, "udp port 53"}, Dir, "tcpdump");
  if (!dump.WaitForError("listening on", 10s)) GTEST_SKIP() << "no tcpdump: " << dump.Errors();
  auto serve = Serve();
  ASSERT_GT(Port, 0);

  SendDns(40);
  const std::string metrics = WaitForDns(40 * kDatagramBytes);
  const json live = json::parse(HttpGet(Port, "/report.json").Body);
  EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
  // The capture hands tcpdump its packets in blocks: all 40 (of 14 + 128
  // bytes, with a 16-byte record header each, after the 24-byte file header)
  // are in the file before it stops.
  for (int i = 0; i < 200 && fs::file_size(file) < 24 + 40 * (16 + 14 + kDatagramBytes); ++i)
    std::this_thread::sleep_for(25ms);
  dump.Stop(SIGINT);
  const json final = json::parse(serve->Output());

  TChildProcess read(*Ns, {WIREPEEK_BINARY, "--report", "--adapter", "127.0.0.1", "--read", file, "--json"}, Dir,
                     "read");
  ASSERT_EQ(read.Wait(20s), 0) << read.Errors();
  const json fromFile = json::parse(read.Output());

  EXPECT_EQ(Sample(metrics, kDnsSentSeries), 40 * kDatagramBytes);
  EXPECT_EQ(Sample(metrics, kDnsReceivedSeries), 40 * kDatagramBytes);
  EXPECT_EQ(Sample(metrics, R"(wirepeek_datagrams_total{adapter="127.0.0.1",direction="received",service="dns",)"
                            R"(role="server"})"),
            40);
  for (const json* report : {&live, &final, &fromFile}) {
    EXPECT_EQ((*report)["sent"]["packets"][kDnsClient], 40) << report->dump();
    EXPECT_EQ((*report)["sent"]["bytes"][kDnsClient], 40 * kDatagramBytes);
    EXPECT_EQ((*report)["received"]["packets"][kDnsServer], 40);
    EXPECT_EQ((*report)["received"]["bytes"][kDnsServer], 40 * kDatagramBytes);
  }
  // The file holds the DNS datagrams only, each once (and counted each way).
  EXPECT_EQ(fromFile["total_packets"], 40);
  EXPECT_EQ(final["dropped"], 0);
  // The remote-address count of the exposition is the report's row count.
  EXPECT_EQ(Sample(metrics, R"(wirepeek_remote_addresses{adapter="127.0.0.1"})"),
            static_cast<long long>(live["addresses"].size()));
}

TEST_F(ServeEndpointLive, AHundredConcurrentScrapersCostNoDatagram) {
  TInNamespace inside(*Ns);
  auto serve = Serve({"--top", "5"});
  ASSERT_GT(Port, 0);
  std::atomic<int> ok{0}, failed{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> scrapers;
  for (int i = 0; i < 100; ++i) {
    scrapers.emplace_back([&, i] {
      while (!go) std::this_thread::sleep_for(1ms);
      for (int round = 0; round < 3; ++round) {
        const auto answer = HttpGet(Port, i % 2 ? "/metrics" : "/report.json");
        (answer.Status == 200 ? ok : failed) += 1;
      }
    });
  }
  go = true;
  constexpr int kBursts = 20, kPerBurst = 100;
  for (int burst = 0; burst < kBursts; ++burst) {
    SendDns(kPerBurst);
    std::this_thread::sleep_for(5ms);
  }
  for (auto& t : scrapers) t.join();
  EXPECT_EQ(ok, 300);
  EXPECT_EQ(failed, 0);
  WaitForDns(kBursts * kPerBurst * kDatagramBytes);
  ASSERT_TRUE(serve->Running());
  EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
  const json final = json::parse(serve->Output());
  EXPECT_EQ(final["received"]["packets"][kDnsServer], kBursts * kPerBurst);
  EXPECT_EQ(final["sent"]["bytes"][kDnsClient], kBursts * kPerBurst * kDatagramBytes);
  EXPECT_EQ(final["dropped"], 0);
}

// A web page that points a name of its own at a loopback endpoint gets
// nothing; an endpoint on every address answers a scraper's name for the
// host, unless names are given.
TEST_F(ServeEndpointLive, AnswersOnlyForItsAddressLocalhostAndAllowedNames) {
  TInNamespace inside(*Ns);
  struct TCase {
    std::string Header;
    int Loopback, Everywhere, EverywhereAllowed;
  };
  const TCase cases[] = {
      {"Host: 127.0.0.1:PORT", 200, 200, 200},        {"Host: localhost", 200, 200, 200},
      {"Host: LOCALHOST.:PORT", 200, 200, 200},       {"Host: metrics.example.org", 200, 200, 200},
      {"Host: rebound.example:PORT", 421, 200, 421}, {"Host: server1.example.org", 421, 200, 421},
      {"Host: 127.0.0.2", 421, 200, 421},            {"Host: [::1]:PORT", 421, 200, 421},
      {"X-No-Host: 1", 421, 200, 421},
  };
  const std::vector<std::string> listeners[] = {{"--allow-host", "Metrics.Example.org"},
                                                {"--serve", ":0"},
                                                {"--serve", ":0", "--allow-host", "Metrics.Example.org"}};
  for (int l = 0; l < 3; ++l) {
    auto serve = Serve(listeners[l]);
    ASSERT_GT(Port, 0);
    for (const auto& c : cases) {
      const std::string header = std::regex_replace(c.Header, std::regex("PORT"), std::to_string(Port));
      EXPECT_EQ(HttpExchange(Port, "GET /metrics HTTP/1.1\r\n" + header + "\r\nConnection: close\r\n\r\n").Status,
                l == 0 ? c.Loopback : l == 1 ? c.Everywhere : c.EverywhereAllowed)
          << header << " " << l;
    }
    EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
  }
}

// Users from a web configuration, as curl sends them. The hash is a
// published bcrypt test vector: "U*U" with cost 5.
TEST_F(ServeEndpointLive, AWebConfigurationLetsOnlyItsUsersIn) {
  TInNamespace inside(*Ns);
  std::ofstream(Dir / "web.yml") << "basic_auth_users:\n"
                                 << "  prometheus: $2b$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW\n";
  auto serve = Serve({"--web-config", (Dir / "web.yml").string()});
  ASSERT_GT(Port, 0);
  const std::pair<std::string, std::string> cases[] = {
      {"", "401"}, {"-u 'prometheus:U*U'", "200"}, {"-u 'prometheus:U*V'", "401"}, {"-u 'other:U*U'", "401"},
      {"-H 'Authorization: Basic !!!'", "401"}, {"-u 'prometheus:U*U' -X POST", "405"}};
  for (const auto& [credentials, status] : cases) {
    std::string answer;
    CommandOutput("curl -s -o /dev/null -w '%{http_code}' " + credentials + " http://127.0.0.1:" +
                      std::to_string(Port) + "/metrics",
                  answer);
    EXPECT_EQ(answer, status) << credentials;
  }
  EXPECT_NE(HttpGet(Port, "/metrics").Headers.find("WWW-Authenticate: Basic realm=\"wirepeek\""), std::string::npos);
  EXPECT_EQ(serve->Stop(SIGTERM), 0) << serve->Errors();
}

// Clients that send half a request hold a worker each until the request
// timeout (2 s); a scrape meanwhile is answered at once.
TEST_F(ServeEndpointLive, HalfSentRequestsDoNotHoldUpAScrape) {
  TInNamespace inside(*Ns);
  auto serve = Serve();
  ASSERT_GT(Port, 0);
  for (const int held : {8, 64}) {
    std::vector<std::unique_ptr<int, void (*)(int*)>> slow;
    for (int i = 0; i < held; ++i) {
      slow.emplace_back(new int(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), [](int* fd) {
        close(*fd);
        delete fd;
      });
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<std::uint16_t>(Port));
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(connect(*slow.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
      ASSERT_GT(send(*slow.back(), "GET /metrics HTTP/1.1\r\nHost:", 28, MSG_NOSIGNAL), 0);
    }
    std::this_thread::sleep_for(200ms);  // every one of them taken up by a worker
    EXPECT_EQ(HttpExchange(Port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 1s).Status, 200) << held;
  }
}

// The endpoint lists only the --top busiest addresses, and counts them all.
TEST_F(ServeEndpointLive, ListsTheBusiestAddressesAndCountsEveryOne) {
  TInNamespace inside(*Ns);
  auto serve = Serve({"--top", "2"});
  ASSERT_GT(Port, 0);
  const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof to;
  bind(sink, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  getsockname(sink, reinterpret_cast<sockaddr*>(&to), &length);
  const std::pair<const char*, int> senders[] = {{"127.0.0.2", 1}, {"127.0.0.3", 30}, {"127.0.0.4", 2},
                                                 {"127.0.0.5", 20}, {"127.0.0.6", 3}};
  for (const auto& [source, count] : senders) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    for (int i = 0; i < count; ++i) sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
  }
  close(sink);
  // The scrapes themselves make 127.0.0.1 a remote address, and the busiest.
  std::string metrics;
  for (int i = 0; i < 200 && Sample(metrics, R"(wirepeek_remote_addresses{adapter="127.0.0.1"})") < 6; ++i) {
    std::this_thread::sleep_for(25ms);
    metrics = HttpGet(Port, "/metrics").Body;
  }
  EXPECT_EQ(Sample(metrics, R"(wirepeek_remote_addresses{adapter="127.0.0.1"})"), 6);
  EXPECT_EQ(Sample(metrics, R"(wirepeek_remote_bytes_total{adapter="127.0.0.1",remote="127.0.0.3",direction="received"})"),
            30 * 29);
  const json report = json::parse(HttpGet(Port, "/report.json").Body);
  // Programs too: this test's sockets, those gone, the endpoint's own.
  EXPECT_LE(report["programs"].size(), 2u);
  ASSERT_EQ(report["addresses"].size(), 2u);
  EXPECT_EQ(report["addresses"][0]["addr"], "127.0.0.1");
  EXPECT_EQ(report["addresses"][1]["addr"], "127.0.0.3");
}

TEST_F(ServeEndpointLive, StartFailuresAreClearAndNotZero) {
  TInNamespace inside(*Ns);
  // A port someone else holds.
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof at;
  getsockname(holder, reinterpret_cast<sockaddr*>(&at), &length);
  const std::string taken = "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
  std::ofstream(Dir / "tls.yml") << "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n";
  std::ofstream(Dir / "md5.yml") << "basic_auth_users:\n  alice: $1$salt$qJH7.N4xYta3aEG/dfqo/0\n";

  struct TCase {
    std::vector<std::string> Args;
    std::string Says;
  };
  const TCase cases[] = {
      {{"--serve", taken, "--adapter", "127.0.0.1"},
       "wirepeek: cannot listen on " + taken + ": Address already in use\n"},
      {{"--serve", "198.51.100.7:9100", "--adapter", "127.0.0.1"}, "Cannot assign requested address"},
      {{"--serve", "0", "--adapter", "198.51.100.7"}, "is not an address of this host"},
      {{"--serve", "0", "--adapter", "127.0.0.1", "--user", "no-such-user"}, "there is no user no-such-user"},
      {{"--serve", "0", "--adapter", "127.0.0.1", "--user", "root"}, "will not go on as root (uid 0)"},
      {{"--serve", "0", "--adapter", "127.0.0.1", "--web-config", (Dir / "tls.yml").string()},
       "tls_server_config is not available in this build; serve through a TLS proxy"},
      {{"--serve", "0", "--adapter", "127.0.0.1", "--web-config", (Dir / "md5.yml").string()},
       "the password of alice must be a bcrypt hash"},
      {{"--serve", "0", "--adapter", "127.0.0.1", "--web-config", (Dir / "none.yml").string()},
       "cannot read the web configuration"},
      {{"--report", "--seconds", "1", "--adapter", "127.0.0.1", "--user", "0"}, "will not go on as 0 (uid 0)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {WIREPEEK_BINARY};
    argv.insert(argv.end(), c.Args.begin(), c.Args.end());
    TChildProcess child(*Ns, argv, Dir, "failing");
    EXPECT_EQ(child.Wait(15s), 1) << c.Says;
    const std::string errors = child.Errors();
    EXPECT_NE(errors.find(c.Says), std::string::npos) << errors;
    EXPECT_EQ(errors.find("serving"), std::string::npos) << errors;
  }
  close(holder);
}

// ":PORT" is every address, 127.0.0.2 among them; a bare PORT is 127.0.0.1
// only.
TEST_F(ServeEndpointLive, ColonPortListensOnEveryAddressABarePortOnLoopbackOnly) {
  TInNamespace inside(*Ns);
  const std::pair<const char*, bool> cases[] = {{":0", true}, {"0", false}};
  for (const auto& [listen, everywhere] : cases) {
    TChildProcess serve(*Ns, {WIREPEEK_BINARY, "--serve", listen, "--adapter", "127.0.0.1"}, Dir, "listen");
    ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(ServedPort(serve.Errors()))), {htonl(0x7f000002)}, {}};
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0, everywhere) << listen;
    close(fd);
    EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
  }
}

TEST_F(ServeEndpointLive, JsonLinesComeEveryIntervalAsTheyAreWritten) {
  TInNamespace inside(*Ns);
  TChildProcess report(*Ns,
                       {WIREPEEK_BINARY, "--report", "--adapter", "127.0.0.1", "--seconds", "4", "--json", "--every",
                        "1"},
                       Dir, "lines");
  std::this_thread::sleep_for(300ms);
  SendDns(10);
  // The first line is there while the capture still runs.
  std::string early;
  for (int i = 0; i < 100 && early.find('\n') == std::string::npos; ++i) {
    std::this_thread::sleep_for(30ms);
    early = report.Output();
  }
  EXPECT_TRUE(report.Running());
  EXPECT_NE(early.find('\n'), std::string::npos);
  ASSERT_EQ(report.Wait(20s), 0) << report.Errors();

  std::vector<json> lines;
  std::istringstream out(report.Output());
  for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
  ASSERT_GE(lines.size(), 4u);  // three or four intervals, then the final object
  const json& final = lines.back();
  EXPECT_TRUE(final.contains("addresses"));
  long long dnsBytes = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const json& l = lines[i];
    EXPECT_FALSE(l.contains("addresses"));
    EXPECT_NEAR(l["interval"]["seconds"].get<double>(), 1.0, 0.5);
    EXPECT_TRUE(std::regex_match(l["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    dnsBytes += l["interval"]["received"]["bytes"][kDnsServer].get<long long>();
    // Figures so far never go down.
    if (i > 0) {
      EXPECT_GE(l["total_packets"], lines[i - 1]["total_packets"]);
    }
  }
  EXPECT_EQ(dnsBytes, 10 * kDatagramBytes);  // all of it inside the intervals
  EXPECT_EQ(final["received"]["bytes"][kDnsServer], 10 * kDatagramBytes);
}

// The interface going away ends the program with a failure, so that the
// service manager starts it again.
TEST_F(ServeEndpointLive, AnInterfaceThatGoesAwayEndsItWithAFailure) {
  TInNamespace inside(*Ns);
  const std::string link = "wpg" + std::to_string(getpid());
  Ns->Run("ip link add " + link + " type veth peer name " + link + "p");
  Ns->Run("ip addr add 203.0.113.9/24 dev " + link);
  Ns->Run("ip link set " + link + " up");
  TChildProcess serve(*Ns, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", "203.0.113.9"}, Dir, "gone");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  Ns->Run("ip link del " + link);
  EXPECT_EQ(serve.Wait(10s), 1) << serve.Errors();
  EXPECT_NE(serve.Errors().find("wirepeek: the capture ended early"), std::string::npos) << serve.Errors();
}

}  // namespace
