// Whole captures read from files through the headless report: the same
// decoding and counting as a live capture, with no privilege needed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "common/SampleTraffic.h"
#include "common/TestNetwork.h"
#include "common/Files.h"
#include "app/CommandLine.h"
#include "report/Report.h"

namespace {

namespace fs = std::filesystem;

class HeadlessReportProgram : public TCaptureFileTest {
 protected:

  // A file read: its start and length are not a capture's.
  static constexpr const char* kExpectedJson =
      "{\"schema\":2,\"adapter\":\"10.0.0.2\",\"time\":\"T\",\"start\":null,\"duration_seconds\":null,"
      "\"total_packets\":6,\"total_bytes\":1800,"
      "\"sent\":{\"packets\":[3,0,0,1,0,1,0,0,0,0,0,1,0,0,0,0,0],\"bytes\":[152,0,0,60,0,40,0,0,0,0,0,52,0,0,0,0,0]},"
      "\"received\":{\"packets\":[3,1,0,1,0,0,0,0,0,0,1,0,0,0,0,0,0],\"bytes\":[200,28,0,120,0,0,0,0,0,0,52,0,0,0,0,0,0]},"
      "\"categories\":["
      "{\"name\":\"ICMP\",\"service\":\"icmp\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":1,\"recv_bytes\":28},"
      "{\"name\":\"DNS Server\",\"service\":\"dns\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"DNS Client\",\"service\":\"dns\",\"role\":\"client\",\"sent_packets\":1,\"sent_bytes\":60,\"recv_packets\":1,\"recv_bytes\":120},"
      "{\"name\":\"HTTP Server\",\"service\":\"http\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"HTTP Client\",\"service\":\"http\",\"role\":\"client\",\"sent_packets\":1,\"sent_bytes\":40,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"FTP Server\",\"service\":\"ftp\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"FTP Client\",\"service\":\"ftp\",\"role\":\"client\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"Telnet Server\",\"service\":\"telnet\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"Telnet Client\",\"service\":\"telnet\",\"role\":\"client\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"POP3 Server\",\"service\":\"pop3\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":1,\"recv_bytes\":52},"
      "{\"name\":\"POP3 Client\",\"service\":\"pop3\",\"role\":\"client\",\"sent_packets\":1,\"sent_bytes\":52,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"SMTP Server\",\"service\":\"smtp\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"SMTP Client\",\"service\":\"smtp\",\"role\":\"client\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"NetBios Server\",\"service\":\"netbios\",\"role\":\"server\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"NetBios Client\",\"service\":\"netbios\",\"role\":\"client\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0},"
      "{\"name\":\"Sonota\",\"service\":\"other\",\"sent_packets\":0,\"sent_bytes\":0,\"recv_packets\":0,\"recv_bytes\":0}],"
      "\"kernel_received\":0,\"dropped\":0,\"addresses\":["
      "{\"addr\":\"9.1.2.3\",\"sent_bytes\":60,\"recv_bytes\":120,\"last_category\":\"DNS Client\",\"last_time\":\"09:05:03\","
      "\"last_date_time\":\"2026-01-05T09:05:03+00:00\"},"
      "{\"addr\":\"10.0.0.2\",\"sent_bytes\":52,\"recv_bytes\":52,\"last_category\":\"POP3 Server\",\"last_time\":\"09:05:06\","
      "\"last_date_time\":\"2026-01-05T09:05:06+00:00\"},"
      "{\"addr\":\"192.168.0.10\",\"sent_bytes\":40,\"recv_bytes\":28,\"last_category\":\"ICMP\",\"last_time\":\"09:05:04\","
      "\"last_date_time\":\"2026-01-05T09:05:04+00:00\"}],\"programs\":[],\"ports\":["
      "{\"proto\":\"udp\",\"port\":53,\"service\":\"domain\",\"sent_bytes\":60,\"recv_bytes\":120},"
      "{\"proto\":\"tcp\",\"port\":80,\"service\":\"http\",\"sent_bytes\":40,\"recv_bytes\":0},"
      "{\"proto\":\"tcp\",\"port\":110,\"service\":\"pop3\",\"sent_bytes\":52,\"recv_bytes\":52}]}\n";

  // The program itself: started as root, a report becomes nobody.
  int Report(const std::vector<std::string>& args, std::string& out, std::string& err) {
    std::string command = WIREPEEK_BINARY;
    for (const auto& arg : args) command += " '" + arg + "'";
    const auto errors = Dir / "errors.txt";
    std::string printed;
    const int code = CommandOutput(command + " 2>" + errors.string(), printed);
    // When the report was made: any moment, as long as it is one. It leads
    // the report, and a report can be long: only its head is searched.
    const std::size_t head = std::min<std::size_t>(printed.size(), 256);
    out = std::regex_replace(printed.substr(0, head), std::regex(R"("time":"\d{4}-\d\d-\d\dT[\d:]{8}\.\d{3}Z")"),
                             R"("time":"T")") + printed.substr(head);
    err = ReadWholeFile(errors);
    return code;
  }
};

TEST_F(HeadlessReportProgram, ReportMatchesHandCountsInBothFileFormats) {
  ASSERT_STREQ(getenv("TZ"), "UTC");
  const auto pcap = (Dir / "traffic.pcap").string();
  const auto pcapng = (Dir / "traffic.pcapng").string();
  const auto cooked = (Dir / "cooked.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  WritePcapNg(pcapng, 1, Traffic(true));
  WritePcap(cooked, 276, Traffic(false));
  for (const auto& file : {pcap, pcapng, cooked}) {
    std::string out, err;
    EXPECT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", file, "--json"}, out, err), 0) << err;
    EXPECT_EQ(out, kExpectedJson) << file;
    EXPECT_EQ(err, "");
  }
}

TEST_F(HeadlessReportProgram, TextReportNamesEveryCategory) {
  const auto pcap = (Dir / "traffic.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  std::string out, err;
  ASSERT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", pcap}, out, err), 0) << err;
  for (auto name : ServiceCategoryNames) EXPECT_NE(out.find(name), std::string::npos) << name;
  EXPECT_NE(out.find("192.168.0.10"), std::string::npos);
  EXPECT_NE(out.find("09:05:06"), std::string::npos);
}

TEST_F(HeadlessReportProgram, BadArgumentsAndBadFilesFailClearly) {
  struct TCase {
    std::vector<std::string> Args;
    int Code;
    const char* Says;
  };
  const auto missing = (Dir / "missing.pcap").string();
  const auto junk = (Dir / "junk.pcap").string();
  std::ofstream(junk) << "this is not a capture file";
  const TCase cases[] = {
      {{"--report"}, 2, "--adapter is missing"},
      {{"--report", "--adapter", "10.0.0.2"}, 2, "either --read FILE or --seconds N"},
      {{"--report", "--adapter", "10.0.0.2", "--read", junk, "--seconds", "3"}, 2, "either"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "soon"}, 2, "whole number"},
      {{"--report", "--adapter", "10.0.0.2", "--frobnicate"}, 2, "unknown option"},
      {{"--report", "--adapter", "ten", "--read", junk}, 2, "needs an IPv4 address"},
      {{"--report", "--adapter", "10.0.0.2", "--read", missing}, 1, "No such file"},
      {{"--report", "--adapter", "10.0.0.2", "--read", junk}, 1, "InitAdapter :WSASocket failed"},
      {{"--report", "--adapter", "198.51.100.250", "--seconds", "1"}, 1, "is not an address of this host"},
  };
  for (const auto& c : cases) {
    std::string out, err;
    EXPECT_EQ(Report(c.Args, out, err), c.Code) << c.Args.back();
    EXPECT_NE(err.find(c.Says), std::string::npos) << err;
    EXPECT_EQ(out, "");
  }
}

// Addresses beyond the window's rows are counted, not listed: the report's
// memory stays bounded whatever the traffic.
TEST_F(HeadlessReportProgram, ListsAsManyAddressesAsTheWindowAndCountsTheRest) {
  constexpr std::uint32_t kAddresses = 100'005;
  std::vector<TFrame> frames;
  for (std::uint32_t i = 0; i < kAddresses; ++i) {
    const std::string remote = "11." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                               std::to_string(i & 255);
    frames.push_back({Ethernet(MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = remote,
                                             .SourcePort = 40000, .DestPort = 53, .TotalLength = 60, .Delivered = 60})),
                      1767603903, 0});
  }
  const auto pcap = (Dir / "many.pcap").string();
  WritePcap(pcap, 1, frames);
  std::string out, err;
  ASSERT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", pcap, "--json"}, out, err), 0) << err;
  // Read by Python: this unoptimised test would spend most of its time
  // parsing the long report itself.
  const auto saved = Dir / "many.json";
  std::ofstream(saved, std::ios::binary) << out;
  std::string counts;
  EXPECT_EQ(CommandOutput("python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); "
                          "print(len(r[\"addresses\"]), r[\"unlisted_addresses\"])' " + saved.string(), counts), 0);
  EXPECT_EQ(counts, "100000 5\n");
  ASSERT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", pcap}, out, err), 0) << err;
  EXPECT_NE(out.find("\n5 more remote addresses were seen and are not listed\n"), std::string::npos);
}

// What a script meets, from the program itself.
TEST_F(HeadlessReportProgram, ScriptsGetExitCodesAndOneReasonFromTheProgram) {
  const auto pcap = (Dir / "traffic.pcap").string();
  const auto missing = (Dir / "missing.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  struct TCase {
    std::string Args, Output;
    int Code;
    std::string Says;  // standard error, up to the usage
    std::string Fault = {};  // WIREPEEK_FAULT: then Says is the last line of standard error
  } const cases[] = {
      // A fault ends the capture at the third datagram: the figures are not
      // the file's, and the script is told so by the status.
      {"10.0.0.2 --read " + pcap, "/dev/null", 3,
       "wirepeek: the capture ended by a fault; the figures cover only what was counted before it\n", "count:store:3"},
      {"10.0.0.2 --read " + pcap + " --json", "/dev/full", 1, "wirepeek: could not write to standard output\n"},
      {"foo --read " + pcap, "/dev/null", 2, "wirepeek: --adapter needs an IPv4 address, not 'foo'\n"},
      {"10.9.9.9 --read " + pcap, "/dev/null", 0,
       "wirepeek: warning: none of the 6 datagrams in " + pcap + " was sent or received by 10.9.9.9\n"},
      {"10.0.0.2 --read " + missing, "/dev/null", 1, "wirepeek: " + missing +
       ": No such file or directory\nwirepeek: InitAdapter :WSASocket failed\nwirepeek: CaptureStart Error\n"},
  };
  for (const auto& c : cases) {
#if defined(WIREPEEK_SANITIZED)
    // The sanitizer runtimes take the fault signal for their own report.
    if (!c.Fault.empty()) continue;
#endif
    std::string err;
    const std::string env = c.Fault.empty() ? "" : "WIREPEEK_FAULT=" + c.Fault + " ";
    EXPECT_EQ(CommandOutput(env + WIREPEEK_BINARY " --report --adapter " + c.Args + " 2>&1 >" + c.Output, err), c.Code)
        << c.Args;
    if (c.Fault.empty()) {
      EXPECT_EQ(err.substr(0, err.find("usage:")), c.Says) << c.Args;
    } else {
      EXPECT_TRUE(err.ends_with(c.Says)) << err;
      EXPECT_EQ(err.find("warning: none of"), std::string::npos) << err;
    }
  }
}

TEST_F(HeadlessReportProgram, TruncatedFileReportsWhatWasReadAndFails) {
  const auto pcap = (Dir / "cut.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  fs::resize_file(pcap, fs::file_size(pcap) - 10);
  std::string out, err;
  EXPECT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", pcap, "--json"}, out, err), 1);
  EXPECT_NE(out.find("\"total_packets\":5"), std::string::npos) << out;
  EXPECT_NE(err.find("ended early"), std::string::npos) << err;
}

}  // namespace

namespace {

TEST(JsonLinesTest, IntervalLineHoldsTheFiguresSoFarAndTheirGrowth) {
  TFiguresSnapshot before, now;
  before.TotalPackets = 10;
  before.TotalBytes = 1000;
  before.Counters[1][KindBytes][0] = 600;
  before.Counters[1][KindBytes][2] = 600;
  before.Kernel = {10, 3};
  now = before;
  now.TotalPackets = 15;
  now.TotalBytes = 1800;
  now.Counters[1][KindBytes][0] = 1000;
  now.Counters[1][KindBytes][2] = 1000;
  now.Counters[0][KindPackets][16] = 2;
  now.Counters[0][KindBytes][16] = 7;
  now.Kernel = {15, 5};
  const auto line = IntervalJson("10.0.0.2", now, before, 5.0, 1767603903250);
  // The keys the report object has, spelt alike, then the interval's own.
  std::vector<std::string> keys;
  for (const auto& item : line.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"adapter", "time", "total_packets", "total_bytes", "sent", "received",
                                            "kernel_received", "dropped", "interval", "rate"}));
  EXPECT_EQ(line["kernel_received"], 15);
  EXPECT_EQ(line["adapter"], "10.0.0.2");
  EXPECT_EQ(line["time"], "2026-01-05T09:05:03.250Z");
  EXPECT_EQ(line["total_packets"], 15);
  EXPECT_EQ(line["received"]["bytes"][2], 1000);
  EXPECT_EQ(line["dropped"], 5);
  EXPECT_EQ(line["interval"]["seconds"], 5.0);
  EXPECT_EQ(line["interval"]["total_packets"], 5);
  EXPECT_EQ(line["interval"]["total_bytes"], 800);
  EXPECT_EQ(line["interval"]["received"]["bytes"][0], 400);
  EXPECT_EQ(line["interval"]["received"]["bytes"][2], 400);
  EXPECT_EQ(line["interval"]["sent"]["packets"][16], 2);
  EXPECT_EQ(line["interval"]["sent"]["packets"][0], 0);
  EXPECT_EQ(line["interval"]["dropped"], 2);
  // Bytes per second over the interval, to a tenth; none from an interval of no length.
  EXPECT_EQ(line["rate"]["received"][0], 80.0);
  EXPECT_EQ(line["rate"]["received"][2], 80.0);
  EXPECT_EQ(line["rate"]["sent"][16], 1.4);
  EXPECT_EQ(line["rate"]["sent"].size(), 17u);
  EXPECT_EQ(IntervalJson("10.0.0.2", now, before, 0.0, 1767603903250)["rate"]["received"][0], 0.0);
  // One line, ending in its newline.
  const std::string text = JsonLine(line);
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_EQ(text.rfind(R"({"adapter":"10.0.0.2","time":)", 0), 0u);
}

}  // namespace
