// A real Prometheus server, started here on the loopback address of a private
// namespace, scrapes the endpoint; its query API must give back the byte
// counters of the traffic the test sent. Root only, and only where the
// prometheus package is installed.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// The value of an instant query's single result, or -1.
double Query(int port, const std::string& promql) {
  const auto answer = HttpGet(port, "/api/v1/query?query=" + UrlEncoded(promql));
  if (answer.Status != 200) return -1;
  const json reply = json::parse(answer.Body, nullptr, false);
  if (reply.is_discarded() || reply["status"] != "success" || reply["data"]["result"].size() != 1) return -1;
  return std::stod(reply["data"]["result"][0]["value"][1].get<std::string>());
}

void SendUdp(std::uint16_t fromPort, std::uint16_t toPort, std::size_t payload, int count) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  from.sin_port = htons(fromPort);
  to.sin_port = htons(toPort);
  bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  const std::string data(payload, 'p');
  for (int i = 0; i < count; ++i) sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  close(fd);
}

TEST(PrometheusLive, ScrapesTheEndpointAndQueriesGiveTheByteCounters) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  if (access("/usr/bin/prometheus", X_OK) != 0) GTEST_SKIP() << "the prometheus package is not installed";
  const TTestNamespace ns("wpp" + std::to_string(getpid()));
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-prometheus-" + std::to_string(getpid()));
  fs::create_directories(dir);
  TInNamespace inside(ns);

  TChildProcess serve(ns, {WIREPEEK_BINARY, "--serve", "127.0.0.1:0", "--adapter", "127.0.0.1"}, dir, "serve");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  const int port = ServedPort(serve.Errors());
  std::ofstream(dir / "prometheus.yml") << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
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
  SendUdp(40000, 53, 200, 30);
  SendUdp(40001, 138, 50, 12);
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
  // Label values as a query types them: "http", not "HTTP Client ".
  EXPECT_EQ(Query(kPrometheusPort, R"(wirepeek_bytes_total{direction="sent",service="http",role="client"})"), 0);
  EXPECT_EQ(Query(kPrometheusPort, R"(up{job="wirepeek"})"), 1);
  EXPECT_EQ(Query(kPrometheusPort, R"(wirepeek_build_info{version="1.0.0.0"})"), 1);
  EXPECT_EQ(Query(kPrometheusPort, "wirepeek_capture_up"), 1);

  prometheus.Stop(SIGTERM);
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
  fs::remove_all(dir);
}

}  // namespace
