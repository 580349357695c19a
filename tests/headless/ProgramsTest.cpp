// Traffic put down to programs, live: the report, the endpoint and the window
// (offscreen) watch one address of a private namespace as a user without
// rights, while programs of known names talk over TCP and UDP to peers in a
// second namespace, one peer address each. A program's bytes are then its
// peer's bytes, and those of the one that talks to port 443 the bytes of
// 443/tcp https. Root only.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>

#include "common/TestSockets.h"
#include "headless/ServeProcess.h"
#include "common/MetricSample.h"
#include "common/Reachable.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::uint16_t kTcpPort = 7000, kUdpPort = 7001;
constexpr int kUdpCount = 12, kUdpPayload = 300, kTcpBytes = 5000;

struct TTalker {
  const char* Name;  // its process name
  const char* Peer;
  bool Root;  // else it runs as nobody, like the watching programs
  std::uint16_t TcpPort = kTcpPort;
  bool Udp = true;
};
const TTalker kTalkers[] = {{"wpalpha", "10.201.0.2", false}, {"wpbeta", "10.201.0.3", false},
                            {"wpother", "10.201.0.4", true}, {"wphttps", "10.201.0.5", false, 443, false}};

// A child in namespace Ns that talks to its peer and holds its sockets a
// moment longer, so they are still there to be looked up.
pid_t StartTalker(const TTestNamespace& ns, const TTalker& t) {
  const int nsFd = open(ns.Path().c_str(), O_RDONLY | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid != 0) {
    close(nsFd);
    return pid;
  }
  if (setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
  if (!t.Root && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(125);
  prctl(PR_SET_DUMPABLE, 1);  // a changed user leaves it unreadable otherwise
  prctl(PR_SET_NAME, t.Name);
  const int tcp = socket(AF_INET, SOCK_STREAM, 0), udp = socket(AF_INET, SOCK_DGRAM, 0);
  const auto tcpTo = Endpoint(t.Peer, t.TcpPort), udpTo = Endpoint(t.Peer, kUdpPort);
  if (connect(tcp, reinterpret_cast<const sockaddr*>(&tcpTo), sizeof tcpTo) != 0) _exit(124);
  const std::string data(kTcpBytes, 't');
  if (send(tcp, data.data(), data.size(), 0) != kTcpBytes) _exit(123);
  for (int i = 0; t.Udp && i < kUdpCount; ++i)
    if (sendto(udp, data.data(), kUdpPayload, 0, reinterpret_cast<const sockaddr*>(&udpTo), sizeof udpTo) < 0) _exit(122);
  usleep(1'500'000);
  close(tcp);
  close(udp);
  _exit(0);
}

// {sent, received} of the talker's row among a report's "programs", and of
// its peer among "addresses".
std::pair<std::array<long long, 2>, std::array<long long, 2>> Rows(const json& report, const TTalker& t) {
  std::array<long long, 2> program{-1, -1}, peer{-1, -1};
  const std::string name = t.Root ? "user root" : t.Name, user = t.Root ? "root" : "nobody";
  for (const auto& row : report.value("programs", json::array()))
    if (row["program"] == name && row["user"] == user) program = {row["sent_bytes"], row["recv_bytes"]};
  for (const auto& row : report["addresses"])
    if (row["addr"] == t.Peer) peer = {row["sent_bytes"], row["recv_bytes"]};
  return {program, peer};
}

// {sent, received} of a report's row of 443/tcp https.
std::array<long long, 2> HttpsRow(const json& report) {
  for (const auto& row : report.value("ports", json::array()))
    if (row["proto"] == "tcp" && row["port"] == 443 && row["service"] == "https") return {row["sent_bytes"], row["recv_bytes"]};
  return {-1, -1};
}

TEST(ProgramAttributionLive, EachProgramHasItsPeersBytesInTheWindowTheReportAndTheEndpoint) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  const std::string id = std::to_string(getpid());
  TTestNamespace ours("wpgA" + id), peers("wpgB" + id);
  ours.Run("ip link add wpv0 type veth peer name wpv1 netns " + peers.Name);
  ours.Run("ip addr add 10.201.0.1/24 dev wpv0");
  ours.Run("ip link set wpv0 up");
  for (const auto& t : kTalkers) peers.Run(std::string("ip addr add ") + t.Peer + "/24 dev wpv1");
  peers.Run("ip link set wpv1 up");
  // The peers' sockets; TCP connections wait in the backlog, never accepted.
  std::vector<std::unique_ptr<TFd>> sinks;
  {
    TInNamespace inside(peers);
    for (const auto& t : kTalkers) {
      sinks.push_back(std::make_unique<TFd>(socket(AF_INET, SOCK_STREAM, 0)));
      Bind(*sinks.back(), t.Peer, t.TcpPort);
      listen(*sinks.back(), 4);
      sinks.push_back(std::make_unique<TFd>(socket(AF_INET, SOCK_DGRAM, 0)));
      Bind(*sinks.back(), t.Peer, kUdpPort);
    }
  }
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-programs-" + id);
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  const std::shared_ptr<void> removeDir(nullptr, [&](void*) { fs::remove_all(dir); });
#ifdef WIREPEEK_WINDOW
  const TReachableCopy copy({WIREPEEK_BINARY, WIREPEEK_WINDOW});
#else
  const TReachableCopy copy({WIREPEEK_BINARY});
#endif
  const std::vector<std::string> nobody = {
      "/usr/bin/env", "HOME=" + dir.string(), "XDG_STATE_HOME=" + dir.string(), "XDG_CONFIG_HOME=" + dir.string(),
      "QT_QPA_PLATFORM=offscreen", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
      "--inh-caps=+net_raw", "--ambient-caps=+net_raw", "--bounding-set=-all,+net_raw"};
  const auto as = [&](const char* program, std::vector<std::string> args) {
    args.insert(args.begin(), copy(program));
    args.insert(args.begin(), nobody.begin(), nobody.end());
    return args;
  };
  // The window where this build has one; the report and the endpoint from the exporter.
#ifdef WIREPEEK_WINDOW
  TChildProcess window(ours, as(WIREPEEK_WINDOW, {"--start", "10.201.0.1", "--quit-after", "12"}), dir, "window");
#endif
  TChildProcess report(ours,
                       as(WIREPEEK_BINARY, {"--report", "--adapter", "10.201.0.1", "--seconds", "11", "--json", "--every", "1"}),
                       dir, "report");
  TChildProcess serve(ours, as(WIREPEEK_BINARY, {"--serve", "127.0.0.1:0", "--adapter", "10.201.0.1"}), dir, "serve");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  for (int i = 0; i < 200 && report.Output().empty(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_FALSE(report.Output().empty()) << report.Errors();
  std::this_thread::sleep_for(3s);  // the window shows no sign of its start but its final report

  std::vector<pid_t> talkers;
  for (const auto& t : kTalkers) talkers.push_back(StartTalker(ours, t));
  for (const pid_t pid : talkers) {
    int status = -1;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(25ms);
    if (status == -1) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "talker ended with " << status;
  }
  std::this_thread::sleep_for(500ms);
  std::string metrics;
  {
    TInNamespace inside(ours);
    metrics = HttpGet(ServedPort(serve.Errors()), "/metrics").Body;
  }
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
  EXPECT_EQ(report.Wait(20s), 0) << report.Errors();
  const std::string reportText = report.Output();
  std::vector<std::pair<std::string, json>> reports = {
      {"report", json::parse(reportText.substr(reportText.rfind("\n{") + 1), nullptr, false)}};
#ifdef WIREPEEK_WINDOW
  EXPECT_EQ(window.Wait(30s), 0) << window.Errors();
  reports.emplace_back("window", json::parse(window.Output(), nullptr, false));
#endif
  // Every datagram of a talker's connection and socket, its handshakes
  // included, is the talker's, and nobody else talks to its peer.
  const long long udpBytes = kUdpCount * (kUdpPayload + 28);
  for (const auto& t : kTalkers) {
    for (const auto& [front, parsed] : reports) {
      ASSERT_FALSE(parsed.is_discarded()) << front;
      const auto [program, peer] = Rows(parsed, t);
      EXPECT_EQ(program, peer) << front << ": " << t.Name;
      EXPECT_GT(peer[0], (t.Udp ? udpBytes : 0) + kTcpBytes) << front << ": " << t.Name;
      EXPECT_GT(peer[1], 0) << front << ": " << t.Name;
      if (t.TcpPort == 443) { EXPECT_EQ(HttpsRow(parsed), peer) << front << ": " << parsed["ports"].dump(); }
    }
    const auto [program, peer] = Rows(reports[0].second, t);
    const std::string labels = std::string("adapter=\"10.201.0.1\",program=\"") + (t.Root ? "user root" : t.Name) +
                               "\",user=\"" + (t.Root ? "root" : "nobody") + "\",direction=\"";
    EXPECT_EQ(Sample(metrics, "wirepeek_program_bytes_total{" + labels + "sent\"}"), peer[0]) << metrics;
    EXPECT_EQ(Sample(metrics, "wirepeek_program_bytes_total{" + labels + "received\"}"), peer[1]) << metrics;
    const std::string https = "wirepeek_port_bytes_total{adapter=\"10.201.0.1\",proto=\"tcp\",port=\"443\",service=\"https\",direction=\"";
    if (t.TcpPort == 443) { EXPECT_EQ((std::array{Sample(metrics, https + "sent\"}"), Sample(metrics, https + "received\"}")}), peer) << metrics; }
  }
}

// The unit of a process the exporter cannot look into, from the kernel's
// socket listing alone: a child of root, in a control group made here and
// named like a service, sends UDP to itself on loopback; the exporter,
// started as root and so serving as nobody, counts it both ways under that
// unit, on /metrics and in /report.json.
TEST(ProgramAttributionLive, TrafficOfAUnitIsItsOwnWithoutRights) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  std::string mount;
  CommandOutput("findmnt -n -t cgroup2 -o TARGET | head -1 | tr -d '\\n'", mount);
  if (mount.empty()) GTEST_SKIP() << "no unified control-group hierarchy";
  const std::string id = std::to_string(getpid()), unit = "wpunit-" + id + ".service";
  const fs::path slice = fs::path(mount) / ("wpunit-" + id + ".slice"), group = slice / unit;
  std::error_code error;
  fs::create_directories(group, error);
  const std::shared_ptr<void> removeGroups(nullptr, [&](void*) { fs::remove(group, error), fs::remove(slice, error); });
  if (error) GTEST_SKIP() << "cannot make " << group << ": " << error.message();
  TTestNamespace ns("wpgU" + id);
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-unit-" + id);
  fs::create_directories(dir);
  const std::shared_ptr<void> removeDir(nullptr, [&](void*) { fs::remove_all(dir); });
  const TReachableCopy copy({WIREPEEK_BINARY});
  TChildProcess serve(ns, {copy(WIREPEEK_BINARY), "--serve", "127.0.0.1:0", "--adapter", "127.0.0.1"}, dir, "serve");
  ASSERT_TRUE(serve.WaitForError("/metrics for ", 10s)) << serve.Errors();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    char sent = 0;
    if (TInNamespace inside(ns); (std::ofstream(group / "cgroup.procs") << "0\n").flush()) {
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      auto at = Endpoint("127.0.0.1", 0);
      socklen_t length = sizeof at;
      const std::string data(kUdpPayload, 'u');
      const auto* to = reinterpret_cast<sockaddr*>(&at);
      sent = !bind(fd, to, sizeof at) && !getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
      for (int i = 0; sent && i < kUdpCount; ++i) sent = sendto(fd, data.data(), data.size(), 0, to, sizeof at) > 0;
    }
    if (write(ready[1], &sent, 1) == 1) pause();
    _exit(0);
  }
  close(ready[1]);
  const std::shared_ptr<void> endChild(nullptr, [&](void*) { kill(child, SIGKILL), waitpid(child, nullptr, 0); });
  char sent = 0;
  ASSERT_EQ(read(ready[0], &sent, 1), 1);
  close(ready[0]);
  if (!sent) GTEST_SKIP() << "cannot move a process into " << group << " and send from there";

  // Each datagram on loopback is one the watched address sent and received.
  const long long bytes = kUdpCount * (kUdpPayload + 28);
  const std::string series = "wirepeek_unit_bytes_total{adapter=\"127.0.0.1\",unit=\"" + unit + "\",direction=\"";
  std::string metrics, report;
  for (int i = 0; i < 100 && Sample(metrics, series + "received\"}") < bytes; ++i) {
    std::this_thread::sleep_for(100ms);
    TInNamespace inside(ns);
    metrics = HttpGet(ServedPort(serve.Errors()), "/metrics").Body;
    report = HttpGet(ServedPort(serve.Errors()), "/report.json").Body;
  }
  EXPECT_EQ(Sample(metrics, series + "sent\"}"), bytes) << metrics;
  EXPECT_EQ(Sample(metrics, series + "received\"}"), bytes) << metrics;
  const json parsed = json::parse(report, nullptr, false);
  const auto rows = parsed.is_object() ? parsed.value("programs", json::array()) : json::array();
  const auto row = std::find_if(rows.begin(), rows.end(), [&](const json& r) { return r.contains("unit") && r["unit"] == unit; });
  ASSERT_NE(row, rows.end()) << report;
  EXPECT_EQ((*row)["program"], "user root");
  EXPECT_EQ((*row)["sent_bytes"], bytes);
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << serve.Errors();
}

}  // namespace
