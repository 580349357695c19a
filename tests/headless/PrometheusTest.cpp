// A real Prometheus server, started here on the loopback address of a private
// namespace, scrapes the endpoint; its query API must give back the byte
// counters of the traffic the test sent. Root only, and only where the
// prometheus package is installed.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>

#include "common/TestSockets.h"
#include "headless/ServeProcess.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

std::string UrlEncoded(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// HTTP/1.0, so that a long answer comes whole rather than in chunks.
THttpAnswer PrometheusGet(int port, const std::string& path) {
  return HttpExchange(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

// The value of an instant query's single result, or -1.
double Query(int port, const std::string& promql) {
  const auto answer = PrometheusGet(port, "/api/v1/query?query=" + UrlEncoded(promql));
  if (answer.Status != 200) return -1;
  const json reply = json::parse(answer.Body, nullptr, false);
  if (reply.is_discarded() || reply["status"] != "success" || reply["data"]["result"].size() != 1) return -1;
  return std::stod(reply["data"]["result"][0]["value"][1].get<std::string>());
}

// The number of results of an instant query, or -1 when Prometheus refuses it.
int ResultCount(int port, const std::string& promql) {
  const auto answer = PrometheusGet(port, "/api/v1/query?query=" + UrlEncoded(promql));
  const json reply = json::parse(answer.Body, nullptr, false);
  if (answer.Status != 200 || reply.is_discarded() || reply["status"] != "success") return -1;
  return static_cast<int>(reply["data"]["result"].size());
}

// A process of the user the endpoint serves as, named with bytes that are no
// UTF-8 yet look like it (an overlong form, a surrogate, a code point above
// U+10FFFF), which sends Count datagrams and holds its socket a
// while so that it is looked up.
pid_t StartHostileTalker(std::uint16_t fromPort, std::uint16_t toPort, std::size_t payload, int count) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(125);
  prctl(PR_SET_DUMPABLE, 1);
  prctl(PR_SET_NAME, "\xC0\xAFwp\xED\xA0\x80\xF4\x90\x80\x80x");
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in from = Endpoint("127.0.0.1", fromPort), to = Endpoint("127.0.0.1", toPort);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) _exit(124);
  const std::string data(payload, 'h');
  for (int i = 0; i < count; ++i) {
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    usleep(100'000);
  }
  usleep(2'000'000);
  _exit(0);
}

TEST(PrometheusLive, ScrapesTheEndpointAndQueriesGiveTheByteCounters) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  if (access("/usr/bin/prometheus", X_OK) != 0) GTEST_SKIP() << "the prometheus package is not installed";
  const TTestNamespace ns("wpp" + std::to_string(getpid()));
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-prometheus-" + std::to_string(getpid()));
  fs::create_directories(dir);
  TInNamespace inside(ns);

  const double startedAt =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  TChildProcess serve(ns, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", "127.0.0.1"}, dir, "serve");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  const int port = ServedPort(serve.Errors());
  // The shipped rules, checked and loaded; the job is named as they expect.
  const fs::path shipped = fs::path(WIREPEEK_SOURCE_DIR) / "data" / "exporter";
  const std::string rules = (shipped / "wirepeek-exporter.rules.yml").string();
  std::string checked;
  ASSERT_EQ(CommandOutput("promtool check rules " + rules + " 2>&1", checked), 0) << checked;
  std::ofstream(dir / "prometheus.yml") << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                        << "  evaluation_interval: 1s\nrule_files: ['" << rules << "']\n"
                                        << "scrape_configs:\n  - job_name: wirepeek\n    static_configs:\n"
                                        << "      - targets: ['127.0.0.1:" << port << "']\n";
  // The namespace is private, so the usual port is free.
  constexpr int kPrometheusPort = 9090;
  TChildProcess prometheus(ns,
                           {"/usr/bin/prometheus", "--config.file=" + (dir / "prometheus.yml").string(),
                            "--storage.tsdb.path=" + (dir / "data").string(),
                            "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                           dir, "prometheus");
  ASSERT_TRUE(prometheus.WaitForError("Server is ready to receive web requests", 60s)) << prometheus.Errors();

  // Known traffic, counted once each way on loopback: 30 datagrams of 228
  // bytes to the DNS port, 12 of 78 bytes to a NetBios port.
  SendUdp("127.0.0.1", 40000, "127.0.0.1", 53, 200, 30);
  SendUdp("127.0.0.1", 40001, "127.0.0.1", 138, 50, 12);
  const pid_t talker = StartHostileTalker(40002, 40003, 72, 20);
  const std::string dns = R"(wirepeek_bytes_total{job="wirepeek",direction="received",service="dns",role="server"})";
  const std::string netBios = R"(wirepeek_bytes_total{job="wirepeek",direction="sent",service="netbios",role="client"})";
  double dnsBytes = -1, netBiosBytes = -1;
  for (int i = 0; i < 120 && (dnsBytes != 30 * 228 || netBiosBytes != 12 * 78); ++i) {
    std::this_thread::sleep_for(500ms);
    dnsBytes = Query(kPrometheusPort, dns);
    netBiosBytes = Query(kPrometheusPort, netBios);
  }
  EXPECT_EQ(dnsBytes, 30 * 228);
  EXPECT_EQ(netBiosBytes, 12 * 78);
  // Each byte of the name that starts no well-formed character is a '?'; the
  // target stays up meanwhile.
  const std::string hostile =
      R"(sum(wirepeek_program_bytes_total{program="??wp???????x",user="nobody",direction="sent"}))";
  double hostileBytes = -1;
  for (int i = 0; i < 60 && hostileBytes != 20 * 100; ++i) {
    std::this_thread::sleep_for(500ms);
    hostileBytes = Query(kPrometheusPort, hostile);
  }
  int status = 0;
  waitpid(talker, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(hostileBytes, 20 * 100);
  // Label values as a query types them: "http", not "HTTP Client ".
  EXPECT_EQ(Query(kPrometheusPort, R"(wirepeek_bytes_total{direction="sent",service="http",role="client"})"), 0);
  EXPECT_EQ(Query(kPrometheusPort, R"(up{job="wirepeek"})"), 1);
  EXPECT_EQ(Query(kPrometheusPort, R"(wirepeek_build_info{version="1.0.0.0"})"), 1);
  EXPECT_EQ(Query(kPrometheusPort, "wirepeek_capture_up"), 1);
  // The process figures, against what the kernel says of the process and
  // when this test started it.
  const std::string procStatus = ReadWholeFile("/proc/" + std::to_string(serve.Id()) + "/status");
  const double rss = std::atof(procStatus.c_str() + procStatus.find("VmRSS:") + 6) * 1024;
  EXPECT_NEAR(Query(kPrometheusPort, "process_resident_memory_bytes"), rss, rss / 4);
  EXPECT_NEAR(Query(kPrometheusPort, "process_start_time_seconds"), startedAt, 5);
  EXPECT_GE(Query(kPrometheusPort, "process_open_fds"), 5);
  EXPECT_GE(Query(kPrometheusPort, "process_cpu_seconds_total"), 0);

  // Every rule evaluates, and every recorded series and dashboard query has
  // data from this scrape, once there are scrapes enough for a rate.
  // The groups evaluate on their own clocks: wait until each recorded series
  // has data, not only the first one.
  std::string rulesAnswer;
  json loaded;
  for (int i = 0; i < 60; ++i) {
    rulesAnswer = PrometheusGet(kPrometheusPort, "/api/v1/rules").Body;
    loaded = json::parse(rulesAnswer, nullptr, false);
    bool all = !loaded.is_discarded();
    for (const auto& group : all ? loaded["data"]["groups"] : json::array())
      for (const auto& r : group["rules"])
        if (r["type"] == "recording" && ResultCount(kPrometheusPort, r["name"].get<std::string>()) < 1) all = false;
    if (all) break;
    std::this_thread::sleep_for(500ms);
  }
  ASSERT_FALSE(loaded.is_discarded()) << rulesAnswer;
  for (const auto& rule : loaded["data"]["groups"].items())
    for (const auto& r : rule.value()["rules"]) {
      EXPECT_EQ(r["health"], "ok") << r.dump();
      if (r["type"] == "recording") {
        EXPECT_GT(ResultCount(kPrometheusPort, r["name"].get<std::string>()), 0) << r["name"];
      }
    }
  const json dashboard = json::parse(ReadWholeFile(shipped / "wirepeek-exporter.dashboard.json"));
  int queries = 0;
  for (const auto& panel : dashboard["panels"])
    for (const auto& target : panel["targets"]) {
      std::string expr = target["expr"];
      for (const auto& [variable, value] : {std::pair<std::string, std::string>{"$instance", ".*"},
                                            {"$adapter", ".*"}, {"$__rate_interval", "1m"}})
        for (std::size_t at; (at = expr.find(variable)) != std::string::npos;) expr.replace(at, variable.size(), value);
      EXPECT_GT(ResultCount(kPrometheusPort, expr), 0) << panel["title"] << ": " << expr;
      ++queries;
    }
  EXPECT_EQ(queries, static_cast<int>(dashboard["panels"].size()));

  prometheus.Stop(SIGTERM);
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
  fs::remove_all(dir);
}

}  // namespace
