// The exposition formats: what a scraper asking in a given way gets, which
// remote addresses get series, and the text itself, checked by promtool when
// it is installed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "common/TestNetwork.h"
#include "headless/MetricsText.h"

namespace {

std::uint32_t Addr(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

AddrTotals Row(const char* addr, std::int64_t sent, std::int64_t received) {
  AddrTotals row;
  row.Addr = Addr(addr);
  row.SentBytes = sent;
  row.RecvBytes = received;
  return row;
}

TFiguresSnapshot Figures() {
  TFiguresSnapshot f;
  f.TotalPackets = 12;
  f.TotalBytes = 3400;
  f.Counters[0][KindPackets][0] = 5;
  f.Counters[0][KindPackets][3] = 5;  // DNS Client
  f.Counters[0][KindBytes][0] = 500;
  f.Counters[0][KindBytes][3] = 500;
  f.Counters[1][KindPackets][0] = 6;
  f.Counters[1][KindPackets][5] = 6;  // "HTTP Client " with its blank
  f.Counters[1][KindBytes][0] = 2400;
  f.Counters[1][KindBytes][5] = 2400;
  f.Kernel = {40, 2};
  f.Addresses = {Row("9.9.9.9", 500, 0), Row("10.0.0.1", 0, 2400), Row("10.0.0.2", 1, 1)};
  return f;
}

TEST(MetricsTextTest, NegotiatesTheFormatFromAccept) {
  struct TCase {
    const char* Accept;
    TExpositionFormat Format;
  };
  const TCase cases[] = {
      {"", TExpositionFormat::Text},
      {"*/*", TExpositionFormat::Text},
      {"text/plain;version=0.0.4", TExpositionFormat::Text},
      // What a Prometheus server sends.
      {"application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
       "text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
       TExpositionFormat::OpenMetrics},
      {"Application/OpenMetrics-Text; version=1.0.0", TExpositionFormat::OpenMetrics},
      {"application/openmetrics-text;q=0.2, text/plain;q=0.9", TExpositionFormat::Text},
      {"application/openmetrics-text;q=0", TExpositionFormat::Text},
      {"application/json", TExpositionFormat::Text},
      {",,;;q=,", TExpositionFormat::Text},
  };
  for (const auto& c : cases) EXPECT_EQ(NegotiateFormat(c.Accept), c.Format) << c.Accept;
  EXPECT_EQ(ContentType(TExpositionFormat::Text), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(ContentType(TExpositionFormat::OpenMetrics), "application/openmetrics-text; version=1.0.0; charset=utf-8");
}

TEST(MetricsTextTest, TopAddressesAreTheBusiestAndBounded) {
  const auto f = Figures();
  const auto top2 = TopAddresses(f.Addresses, 2);
  ASSERT_EQ(top2.size(), 2u);
  EXPECT_EQ(top2[0].Addr, Addr("10.0.0.1"));
  EXPECT_EQ(top2[1].Addr, Addr("9.9.9.9"));
  EXPECT_TRUE(TopAddresses(f.Addresses, 0).empty());
  EXPECT_EQ(TopAddresses(f.Addresses, 50).size(), 3u);
  // Equal totals: the lower address first, whatever the input order.
  const auto tied = TopAddresses({Row("10.0.0.9", 5, 5), Row("10.0.0.3", 10, 0), Row("10.0.0.5", 0, 10)}, 2);
  EXPECT_EQ(tied[0].Addr, Addr("10.0.0.3"));
  EXPECT_EQ(tied[1].Addr, Addr("10.0.0.5"));
}

TEST(MetricsTextTest, TextFormatCarriesEveryFigure) {
  TMetricsContext context;
  context.CaptureUp = true;
  context.Version = "1.0.0.0";
  context.Adapter = "10.0.0.2";
  context.StartTimeSeconds = 1767603903.25;
  context.Top = 2;
  const std::string text = WriteMetrics(Figures(), context, TExpositionFormat::Text);
  for (const char* line : {
           "# TYPE wirepeek_datagrams_total counter\n",
           "wirepeek_datagrams_total{adapter=\"10.0.0.2\",direction=\"sent\",service=\"dns\",role=\"client\"} 5\n",
           "wirepeek_bytes_total{adapter=\"10.0.0.2\",direction=\"received\",service=\"http\",role=\"client\"} 2400\n",
           "wirepeek_bytes_total{adapter=\"10.0.0.2\",direction=\"sent\",service=\"other\"} 0\n",
           "wirepeek_bytes_total{adapter=\"10.0.0.2\",direction=\"sent\",service=\"icmp\"} 0\n",
           "wirepeek_seen_datagrams_total{adapter=\"10.0.0.2\"} 12\n",
           "wirepeek_seen_bytes_total{adapter=\"10.0.0.2\"} 3400\n",
           "wirepeek_kernel_received_total{adapter=\"10.0.0.2\"} 40\n",
           "wirepeek_kernel_dropped_total{adapter=\"10.0.0.2\"} 2\n",
           "wirepeek_remote_addresses{adapter=\"10.0.0.2\"} 3\n",
           "wirepeek_remote_bytes_total{adapter=\"10.0.0.2\",remote=\"10.0.0.1\",direction=\"received\"} 2400\n",
           "wirepeek_remote_bytes_total{adapter=\"10.0.0.2\",remote=\"9.9.9.9\",direction=\"sent\"} 500\n",
           "wirepeek_capture_up{adapter=\"10.0.0.2\"} 1\n",
           "wirepeek_capture_start_time_seconds{adapter=\"10.0.0.2\"} 1767603903.250\n",
           "# TYPE wirepeek_build_info gauge\n",
           "wirepeek_build_info{adapter=\"10.0.0.2\",version=\"1.0.0.0\"} 1\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line;
  // Per direction 16 lowercase label sets (ALL is their sum); every series names the adapter first.
  const std::regex category(
      R"re(\nwirepeek_bytes_total\{adapter="10.0.0.2",(direction="\w+",service="[a-z0-9]+"(,role="(server|client)")?)\})re");
  std::set<std::string> labelSets;
  for (std::sregex_iterator m(text.begin(), text.end(), category), end; m != end; ++m) labelSets.insert((*m)[1]);
  EXPECT_EQ(labelSets.size(), 2u * (ServiceCategoryCount - 1));
  EXPECT_FALSE(std::regex_search(text, std::regex(R"(\nwirepeek_\w+(\{(?!adapter=)| ))")));
  EXPECT_EQ(text.find("remote=\"10.0.0.2\""), std::string::npos);  // third of the top 2
  EXPECT_EQ(text.find("# EOF"), std::string::npos);

  const auto dir = std::filesystem::temp_directory_path() / ("wirepeek-metrics-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "metrics.txt";
  std::ofstream(file) << text;
  // Names a process can give itself, and what a scraper reads of them.
  const std::pair<std::string, std::string> hostile[] = {
      {"over\xC0\xAFlong", "over\uFFFD\uFFFDlong"},       {"sur\xED\xA0\x80gate", "sur\uFFFD\uFFFD\uFFFDgate"},
      {"big\xF4\x90\x80\x80", "big\uFFFD\uFFFD\uFFFD\uFFFD"}, {"cut\xE2\x82", "cut\uFFFD\uFFFD"},
      {"ctl\x01\x1b[0m\x7f", "ctl\uFFFD\uFFFD[0m\uFFFD"},   {"q\"b\\s", "q\\\"b\\\\s"},
      {"\xE2\x82\xAC\xF0\x9F\x98\x80ok", "\xE2\x82\xAC\xF0\x9F\x98\x80ok"},
      {std::string(300, 'x'), std::string(MaxLabelValueBytes, 'x')},
      {std::string(127, 'y') + "\xC3\xA9", std::string(127, 'y')},
  };
  TFiguresSnapshot withPrograms = Figures();
  withPrograms.HasPrograms = true;
  for (const auto& [name, shown] : hostile) withPrograms.Programs.push_back({name, "nobody", 1, 2, 0, 0, 0, name});
  // The busiest ports within --top, the row of those beyond the table among them.
  withPrograms.Ports = {{6, 443, "https", 10, 20}, {17, 9, "discard", 1, 0}, {0, 0, "", 5, 6}};
  context.Top = 2;
  const std::string portText = WriteMetrics(withPrograms, context, TExpositionFormat::Text);
  for (const char* line : {"_port_bytes_total{adapter=\"10.0.0.2\",proto=\"tcp\",port=\"443\",service=\"https\",direction=\"received\"} 20\n",
                           "_port_bytes_total{adapter=\"10.0.0.2\",proto=\"\",port=\"\",service=\"(other)\",direction=\"sent\"} 5\n"})
    EXPECT_NE(portText.find(line), std::string::npos) << line;
  context.Top = 20;
  const std::string hostileText = WriteMetrics(withPrograms, context, TExpositionFormat::Text);
  for (const auto& [name, shown] : hostile) {
    EXPECT_NE(hostileText.find("{adapter=\"10.0.0.2\",program=\"" + shown + "\",user=\"nobody\",direction=\"sent\"} 1\n"),
              std::string::npos) << shown;
    EXPECT_NE(hostileText.find("_unit_bytes_total{adapter=\"10.0.0.2\",unit=\"" + shown + "\",direction=\"sent\"} 1\n"),
              std::string::npos) << shown;
  }
  std::ofstream(dir / "hostile.txt") << hostileText;
  if (system("command -v promtool >/dev/null 2>&1") == 0) {
    std::string checked;
    EXPECT_EQ(CommandOutput("promtool check metrics < " + (dir / "hostile.txt").string() + " 2>&1", checked), 0)
        << checked;
    std::string output;
    EXPECT_EQ(CommandOutput("promtool check metrics < " + file.string() + " 2>&1", output), 0) << output;
  }
  std::filesystem::remove_all(dir);
}

TEST(MetricsTextTest, OpenMetricsNamesFamiliesAndEnds) {
  TMetricsContext context;
  context.Version = "1.0.0.0";
  context.Adapter = "a\"b\\c";  // every character that needs escaping
  const std::string text = WriteMetrics(Figures(), context, TExpositionFormat::OpenMetrics);
  EXPECT_NE(text.find("# TYPE wirepeek_datagrams counter\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE wirepeek_build info\n"), std::string::npos);
  EXPECT_NE(text.find("wirepeek_build_info{adapter=\"a\\\"b\\\\c\",version=\"1.0.0.0\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find("wirepeek_capture_up{adapter=\"a\\\"b\\\\c\"} 0\n"), std::string::npos);
  ASSERT_GE(text.size(), 6u);
  EXPECT_EQ(text.substr(text.size() - 6), "# EOF\n");
  EXPECT_EQ(text.find("# TYPE wirepeek_datagrams_total"), std::string::npos);
}

}  // namespace
