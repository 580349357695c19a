// The capture helper and the backend that reads its stream: what the helper
// refuses, how the backend survives broken helpers and streams, and (as
// root, in private namespaces) that counting through an unprivileged helper
// gives exactly what the in-process capture gives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/Datagrams.h"
#include "capture/HelperCapture.h"
#include "capture/backend/HelperProtocol.h"
#include "capture/NotifyTargets.h"
#include "capture/backend/PcapCapture.h"
#include "common/PcapFiles.h"
#include "common/TestNetwork.h"
#include "common/TestSockets.h"
#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"
#include "common/Files.h"
#include "common/Reachable.h"
#include "common/CaseName.h"

namespace {

using namespace std::chrono_literals;
using TStatus = TCaptureSocket::TReceiveStatus;


// A path of this test process's own: ctest runs the cases of this file in
// parallel processes, which must not share files.
std::string OwnTemp(const std::string& name) {
  return testing::TempDir() + "wp" + std::to_string(getpid()) + "-" + name;
}

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

// Runs the helper with Args, standard input from /dev/null, then Redirect.
TRun RunHelper(const std::string& args, const std::string& redirect = "") {
  const std::string out = OwnTemp("helper.out"), err = OwnTemp("helper.err");
  TRun run;
  const int status = std::system(
      (std::string(WIREPEEK_HELPER) + " " + args + " </dev/null >" + out + " 2>" + err + " " + redirect).c_str());
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.Out = ReadWholeFile(out);
  run.Err = ReadWholeFile(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

struct TRefusal {
  const char* Args;
  const char* Message;
  int Status = HelperExitRefused;
  const char* Redirect = "";
};

class HelperRefusesProgram : public testing::TestWithParam<TRefusal> {};

TEST_P(HelperRefusesProgram, WithAClearMessageAndNothingOpened) {
  const auto run = RunHelper(GetParam().Args, GetParam().Redirect);
  EXPECT_EQ(run.Status, GetParam().Status) << run.Err;
  EXPECT_NE(run.Err.find(GetParam().Message), std::string::npos) << run.Err;
  EXPECT_TRUE(run.Out.empty()) << "a stream was started";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HelperRefusesProgram,
    testing::Values(TRefusal{"", "no address given"},
                    TRefusal{"wpnone0", "wpnone0 is neither an address nor an interface of this host"},
                    TRefusal{"198.51.100.77", "198.51.100.77 is not an address of this host"},
                    TRefusal{"10.255.255.254", "10.255.255.254 is not an address of this host"},
                    TRefusal{"127.0.0.1 127.0.0.1", "only one address can be watched"},
                    TRefusal{"127.0.0.1 extra", "only one address can be watched"},
                    TRefusal{"--promisc 127.0.0.1", "unknown option --promisc"},
                    TRefusal{"127.0.0.1 -i", "unknown option -i"},
                    TRefusal{"1.2.3", "1.2.3 is neither an address nor an interface"},
                    TRefusal{"--parent x 127.0.0.1", "--parent needs a process id"},
                    TRefusal{"--parent 1 127.0.0.1", "the program that started it has ended", HelperExitFailed},
                    TRefusal{"127.0.0.1", "file descriptor 0 is not open", HelperExitFailed, "<&-"},
                    TRefusal{"127.0.0.1", "file descriptor 1 is not open", HelperExitFailed, ">&-"},
                    TRefusal{"127.0.0.1", "", HelperExitFailed, "2>&-"}),
    [](const auto& p) {
      const TRefusal& r = p.param;
      return CaseName(*r.Message ? std::string(r.Message) + " for " + r.Args : "no error output");
    });

// A fake helper: a shell script run in place of the helper, which gets the
// helper's path as $0 and its arguments after it.
std::vector<std::string> Fake(const std::string& script) { return {"sh", "-c", script}; }

std::vector<TFrame> Frames(int n) {
  std::vector<TFrame> frames;
  for (int i = 0; i < n; ++i) {
    TFrame f;
    f.Bytes = MakeDatagram({.Protocol = 17, .Source = "10.0.0.1", .Dest = "10.0.0.2", .SourcePort = 5000,
                            .DestPort = 53, .TotalLength = static_cast<std::uint16_t>(100 + i), .Delivered = static_cast<std::size_t>(100 + i)});
    f.Seconds = 1000;
    f.Microseconds = static_cast<std::uint32_t>(i);
    frames.push_back(f);
  }
  return frames;
}

std::string StreamFile(const std::vector<TFrame>& frames, const char* name) {
  const std::string path = OwnTemp(name);
  WritePcap(path, 228, frames);
  return path;
}

struct TCollect final : TDatagramSink {
  void Datagram(const TCapturedDatagram& d) override { Lengths.push_back(d.Length); }
  std::vector<std::size_t> Lengths;
};

// Receives until the socket reports anything but datagrams or idleness.
TStatus Drain(TCaptureSocket& socket, TCollect& sink, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto status = socket.Receive(sink);
    if (status != TStatus::Datagrams && status != TStatus::Idle) return status;
    if (std::chrono::steady_clock::now() > end) return status;
  }
}

std::unique_ptr<THelperCaptureSocket> OpenFake(const std::string& script, TOpenFailure& failure) {
  return THelperCaptureSocket::Open("helper", "10.0.0.1", false, failure, Fake(script));
}

TEST(HelperStreamProgram, AWholeStreamIsDecodedAndTheKernelCountsKept) {
  const auto file = StreamFile(Frames(5), "whole.pcap");
  TOpenFailure failure;
  // Much noise first: only the end of it is kept, with the counts.
  auto socket = OpenFake("cat " + file + "; head -c 8000000 /dev/zero >&2; echo 'kernel received 7 dropped 2' >&2",
                         failure);
  ASSERT_NE(socket, nullptr) << failure.Reason;
  TCollect sink;
  EXPECT_EQ(Drain(*socket, sink), TStatus::Failed);
  EXPECT_EQ(sink.Lengths, (std::vector<std::size_t>{100, 101, 102, 103, 104}));
  EXPECT_NE(socket->LastError().find("the capture helper ended"), std::string::npos) << socket->LastError();
  socket->Close();
  EXPECT_EQ(socket->Statistics().Received, 7u);
  EXPECT_EQ(socket->Statistics().Dropped, 2u);
  EXPECT_LE(socket->LastError().size(), THelperCaptureSocket::MaxHelperText + 100);
}

struct TBrokenStream {
  const char* Name;
  long Cut;            // bytes of the stream the fake helper writes; -1 all
  long GarbleAt;       // offset of a byte set to 0xFF in the stream, or -1
  const char* Error;   // what LastError says
  std::size_t Decoded;  // datagrams that got through first
};

class HelperStreamBrokenProgram : public testing::TestWithParam<TBrokenStream> {};

TEST_P(HelperStreamBrokenProgram, EndsTheCaptureWithAReasonAndKeepsWhatCame) {
  const auto& p = GetParam();
  auto frames = Frames(3);
  const std::string path = StreamFile(frames, "broken.pcap");
  std::string bytes = ReadWholeFile(path);
  if (p.Cut >= 0) bytes.resize(static_cast<std::size_t>(p.Cut));
  if (p.GarbleAt >= 0) bytes[static_cast<std::size_t>(p.GarbleAt)] = '\xFF';
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  TOpenFailure failure;
  // The helper dies in the middle, without a word.
  auto socket = OpenFake("cat " + path + "; kill -9 $$", failure);
  ASSERT_NE(socket, nullptr) << failure.Reason;
  TCollect sink;
  EXPECT_EQ(Drain(*socket, sink), TStatus::Failed);
  EXPECT_NE(socket->LastError().find(p.Error), std::string::npos) << socket->LastError();
  EXPECT_EQ(sink.Lengths.size(), p.Decoded);
  socket->Close();
  EXPECT_EQ(socket->HelperPid(), 0);
}

// Stream: 24-byte header, then records of 16 + 100, 16 + 101, 16 + 102 bytes.
INSTANTIATE_TEST_SUITE_P(
    Streams, HelperStreamBrokenProgram,
    testing::Values(TBrokenStream{"CutInARecordHeader", 24 + 116 + 8, -1, "middle of a datagram", 1},
                    TBrokenStream{"CutInRecordData", 24 + 116 + 60, -1, "middle of a datagram", 1},
                    TBrokenStream{"CutAtARecordEdge", 24 + 116 + 117, -1, "the capture helper ended", 2},
                    TBrokenStream{"LengthGarbled", -1, 24 + 116 + 11, "garbled", 1},
                    TBrokenStream{"LengthLongerThanTheStream", -1, 24 + 116 + 9, "middle of a datagram", 1}),
    [](const auto& param) { return std::string(param.param.Name); });

struct TStartFailure {
  const char* Name;
  std::string Helper;
  std::vector<std::string> Launcher;
  TOpenStage Stage;
  bool PermissionDenied;
  const char* Reason;
};

class HelperStartProgram : public testing::TestWithParam<TStartFailure> {};

TEST_P(HelperStartProgram, FailsWithTheStageAndTheHelpersWords) {
  const auto& p = GetParam();
  TOpenFailure failure;
  auto socket = THelperCaptureSocket::Open(p.Helper, "10.0.0.1", false, failure, p.Launcher);
  ASSERT_EQ(socket, nullptr);
  EXPECT_EQ(failure.Stage, p.Stage);
  EXPECT_EQ(failure.PermissionDenied, p.PermissionDenied);
  EXPECT_NE(failure.Reason.find(p.Reason), std::string::npos) << failure.Reason;
}

INSTANTIATE_TEST_SUITE_P(
    Helpers, HelperStartProgram,
    testing::Values(
        TStartFailure{"NeverStarts", "/nonexistent/wirepeek-capture", {}, TOpenStage::Create,
                      false, "cannot start /nonexistent/wirepeek-capture"},
        TStartFailure{"NoRights", "helper",
                      Fake("echo \"wirepeek-capture: eth0: You don't have permission to capture\" >&2; exit 4"),
                      TOpenStage::Activate, true, "permission"},
        TStartFailure{"NoDevice", "helper", Fake("echo 'wirepeek-capture: eth9: No such device' >&2; exit 3"),
                      TOpenStage::Create, false, "No such device"},
        TStartFailure{"SilentEnd", "helper", Fake("exit 1"), TOpenStage::Activate, false,
                      "ended without a word"},
        TStartFailure{"NotAStream", "helper", Fake("echo 'this is not a capture stream at all'; exec sleep 5"),
                      TOpenStage::Activate, false, "does not start as a pcap stream"}),
    [](const auto& param) { return std::string(param.param.Name); });

// A stream as the helper's libpcap writes it, in either byte order.
std::vector<std::uint8_t> StreamBytes(bool nano, bool swapped, std::uint32_t snap, const std::vector<TFrame>& frames) {
  std::vector<std::uint8_t> out;
  const auto put = [&](std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(v >> 8 * (swapped ? size - 1 - i : i)));
  };
  // Magic, version 2.4, zone, accuracy, snapshot length, raw IPv4.
  for (auto [v, size] : {std::pair{nano ? 0xA1B23C4Du : 0xA1B2C3D4u, 4}, {2u, 2}, {4u, 2}, {0u, 4}, {0u, 4}, {snap, 4},
                         {228u, 4}})
    put(v, size);
  for (const auto& f : frames) {
    for (std::uint32_t v : {f.Seconds, f.Microseconds, std::uint32_t(f.Bytes.size()), std::uint32_t(f.Bytes.size())})
      put(v, 4);
    out.insert(out.end(), f.Bytes.begin(), f.Bytes.end());
  }
  return out;
}

struct TSeen final : TDatagramSink {
  void Datagram(const TCapturedDatagram& d) override { Seen.push_back({std::int64_t(d.Length), d.Seconds, d.Microseconds}); }
  std::vector<std::array<std::int64_t, 3>> Seen;
};

// Read by the library (Direct false) or record by record in place.
std::vector<std::array<std::int64_t, 3>> DecodeStream(const std::vector<std::uint8_t>& bytes, bool direct) {
  THelperStreamBuffer buffer;
  buffer.Append(bytes.data(), bytes.size());
  buffer.Scan();
  std::string error;
  auto decoder = TPcapCaptureSocket::OpenStream(buffer.OpenReader(), error);
  if (!decoder) return {};
  auto form = decoder->RecordForm();
  EXPECT_TRUE(form.LengthsAsWritten);
  form.LengthsAsWritten = direct;
  buffer.Consumed();
  TSeen sink;
  EXPECT_EQ(buffer.Scan(), THelperStreamBuffer::TState::Ready);
  EXPECT_EQ(DecodeRecords(buffer, *decoder, form, sink, error), 3) << error;
  return sink.Seen;
}

TEST(HelperStreamProgram, RecordsReadInPlaceAsTheLibraryReadsThem) {
  auto frames = Frames(3);
  frames[1].Seconds = 0xFFFFFFF0;  // before 1970 as the library reads it
  frames[2].Microseconds = 999999999;
  for (bool nano : {false, true})
    for (bool swapped : {false, true})
      for (std::uint32_t snap : {65535u, 101u}) {  // 101 cuts the last record
        const auto bytes = StreamBytes(nano, swapped, snap, frames);
        const auto library = DecodeStream(bytes, false);
        EXPECT_EQ(library.size(), 3u);
        EXPECT_EQ(DecodeStream(bytes, true), library) << nano << swapped << snap;
      }
}

TEST(HelperStreamProgram, InterruptAndCloseEndAHelperThatSaysNothingPromptly) {
  const auto file = StreamFile({}, "empty.pcap");
  TOpenFailure failure;
  auto socket = OpenFake("cat " + file + "; exec sleep 30", failure);
  ASSERT_NE(socket, nullptr) << failure.Reason;
  TCollect sink;
  EXPECT_EQ(socket->Receive(sink), TStatus::Idle);
  const auto start = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    socket->Interrupt();
  });
  EXPECT_EQ(Drain(*socket, sink), TStatus::Interrupted);
  stopper.join();
  socket->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(socket->Statistics().Received, 0u);
  EXPECT_TRUE(sink.Lengths.empty());
}

TEST(HelperStreamProgram, AHelperDyingMidCaptureEndsTheThreadAndTheTotalsStay) {
  auto frames = Frames(4);
  for (auto& f : frames) f.Bytes = MakeDatagram({.Protocol = 17, .Source = "10.0.0.1", .Dest = "10.0.0.2",
                                                 .TotalLength = 60, .Delivered = 60});
  const auto path = StreamFile(frames, "dying.pcap");
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 10);
  TXIoctl state;
  state.Adapters[1] = Addr("10.0.0.1");
  state.SelectedAdapter = 1;
  int notifications = 0;
  TDirectNotifyTarget target([&] { ++notifications; });
  state.NotifyWindow = &target;
  TOpenFailure failure;
  state.CaptureSocket = OpenFake("cat " + path + "; sleep 0.2; kill -9 $$", failure);
  ASSERT_NE(state.CaptureSocket, nullptr) << failure.Reason;
  TCaptureThread thread(state);
  ASSERT_EQ(state.StopEvent.WaitFor(5s), TManualResetEvent::TWaitResult::Signaled);
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 2);
  EXPECT_EQ(state.Running, 0);
  EXPECT_EQ(state.TotalPackets, 3);
  EXPECT_EQ(state.TotalBytes, 180);
  EXPECT_EQ(state.Counters[DirectionSent][KindPackets][0], 3);
  EXPECT_GE(notifications, 2);
  // Ending the capture afterwards returns at once.
  state.TermAdapter();
}

TEST(HelperLookupProgram, BesideTheExecutableFirstAndAdviceForEachCase) {
  const std::string dir = OwnTemp("helperlookup/");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string exe = dir + "wirepeek", helper = dir + "wirepeek-capture";
  std::ofstream(helper) << "#!/bin/sh\n";
  chmod(helper.c_str(), 0755);
  EXPECT_EQ(FindCaptureHelper(exe), helper);
  EXPECT_NE(CaptureRightsAdvice(helper).find("sudo setcap cap_net_raw=ep " + helper), std::string::npos);
  EXPECT_NE(CaptureRightsAdvice("").find("not installed"), std::string::npos);
  EXPECT_NE(CaptureRightsAdvice(dir + "missing").find("not installed"), std::string::npos);
  if (geteuid() != 0) {
    // Root may run anything, so the group case shows only for others.
    chmod(helper.c_str(), 0640);
    EXPECT_EQ(CaptureRightsAdvice(helper), "add yourself to the group wirepeek, then log in again");
  }
  std::filesystem::remove_all(dir);
}

// A group no account has: the test's stand-in for the group wirepeek.
constexpr gid_t kMemberGroup = 64987;

// A copy of the helper with the owner, mode and rights the package gives it,
// removed on every path, failures included.
class THelperCopy {
  TReachableCopy Copy{{WIREPEEK_HELPER}};

 public:
  THelperCopy() {
    // Never executable by everyone while it holds the rights.
    if (chown(Path.c_str(), 0, kMemberGroup) != 0 || chmod(Path.c_str(), 0750) != 0 ||
        !RunCommand("setcap cap_net_raw=ep " + Path))
      throw std::runtime_error("cannot prepare " + Path);
  }
  const std::string Path = Copy(WIREPEEK_HELPER);
  // Runs it as nobody, a member of the helper's group only.
  const std::vector<std::string> AsMember = {"setpriv", "--reuid=65534", "--regid=65534",
                                             "--groups=" + std::to_string(kMemberGroup), "--"};
};

std::string StatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream rest(line.substr(field.size() + 1));
      std::string value;
      rest >> value;
      return value;
    }
  return {};
}

// A TCP connection refused by the peer: SYN, then RST.
void Refused(const char* from, const char* to) {
  const bool six = IsIpv6Text(from);
  TFd fd(socket(six ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
  Bind(fd, from, 0);
  const auto to4 = Endpoint(to, 9);
  const auto to6 = Endpoint6(to, 9);
  ASSERT_NE(six ? connect(fd, reinterpret_cast<const sockaddr*>(&to6), sizeof to6)
                : connect(fd, reinterpret_cast<const sockaddr*>(&to4), sizeof to4),
            0);
}

// The watched and the peer's address of each family, and their prefix.
struct THelperFamily {
  const char* Ours;
  const char* Peer;
  const char* Prefix;
};

class HelperLive : public testing::TestWithParam<THelperFamily> {};

TEST_P(HelperLive, AnUnprivilegedHelperCountsExactlyAsTheInProcessCaptureAndHoldsNoRights) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  const char* const kHelperOurs = GetParam().Ours;
  const char* const kHelperPeer = GetParam().Peer;
  const bool six = IsIpv6Text(kHelperOurs);
  const std::string tag = std::to_string(getpid());
  TTestNamespace ours("wph" + tag), peer("wpq" + tag);
  const std::string a = "wvh" + tag, b = "wvq" + tag;
  // No traffic but the test's: IPv6 off for IPv4; for IPv6 no link-local
  // address, router solicitation or address test.
  for (const auto* ns : {&ours, &peer})
    ns->Run(six ? "sysctl -q -w net.ipv6.conf.default.addr_gen_mode=1 net.ipv6.conf.default.router_solicitations=0 "
                  "net.ipv6.conf.default.accept_dad=0"
                : "sysctl -q -w net.ipv6.conf.all.disable_ipv6=1");
  ours.Run("ip link add " + a + " type veth peer name " + b + " netns " + peer.Name);
  if (!six)
    for (const auto* ns : {&ours, &peer}) ns->Run("sysctl -q -w net.ipv6.conf.all.disable_ipv6=1");
  ours.Run("ip addr add " + std::string(kHelperOurs) + GetParam().Prefix + " dev " + a);
  ours.Run("ip link set " + a + " up");
  peer.Run("ip addr add " + std::string(kHelperPeer) + GetParam().Prefix + " dev " + b);
  peer.Run("ip link set " + b + " up");
  // A new link may take a while to carry (longer under load): asked again every second.
  ours.Run("ping -c 1 -w 10 " + std::string(kHelperPeer));
  // What joining groups and finding the neighbour sent is over.
  if (six) std::this_thread::sleep_for(1500ms);
  THelperCopy helper;

  TInNamespace inside(ours);
  TXIoctl direct, viaHelper;
  TDirectNotifyTarget quiet([] {});
  for (auto* state : {&direct, &viaHelper}) {
    ASSERT_TRUE(TIpAddress::Parse(kHelperOurs, state->Adapters[1]));
    state->SelectedAdapter = 1;
    state->NotifyWindow = &quiet;
  }
  TOpenFailure failure;
  direct.CaptureSocket = TPcapCaptureSocket::OpenLive(a, failure, six ? "ip6" : "ip");
  ASSERT_NE(direct.CaptureSocket, nullptr) << failure.Reason;
  auto helperSocket = THelperCaptureSocket::Open(helper.Path, kHelperOurs, false, failure, helper.AsMember);
  ASSERT_NE(helperSocket, nullptr) << failure.Reason;
  const pid_t pid = helperSocket->HelperPid();
  // Once the stream has begun the helper holds nothing.
  EXPECT_EQ(StatusField(pid, "Uid"), "65534");
  EXPECT_EQ(StatusField(pid, "CapEff"), "0000000000000000");
  EXPECT_EQ(StatusField(pid, "CapPrm"), "0000000000000000");
  EXPECT_EQ(StatusField(pid, "CapAmb"), "0000000000000000");
  EXPECT_EQ(StatusField(pid, "NoNewPrivs"), "1");
  viaHelper.CaptureSocket = std::move(helperSocket);

  // The peer takes its DNS, so no datagram draws a late ICMP error.
  std::unique_ptr<TFd> dns;
  RunIn(peer, [&] {
    Bind(*(dns = std::make_unique<TFd>(socket(six ? AF_INET6 : AF_INET, SOCK_DGRAM, 0))), kHelperPeer, 53);
  });
  // Rounds of DNS and a refused connection, then pings and a pause longer
  // than every wait on the way; then one last datagram, and the helper's
  // capture ends at once. The in-process capture, the reference, ends later.
  constexpr int kRounds = 100;
  const std::chrono::milliseconds pauses[] = {300ms, 1100ms, 60ms, 0ms};
  const std::int64_t expected = kRounds * 3 + 4 * 25 * 2 + 1;
  {
    TCaptureThread first(direct), second(viaHelper);
    for (int i = 0; i < kRounds; ++i) {
      SendUdp(kHelperOurs, 40000, kHelperPeer, 53, 40 + static_cast<std::size_t>(i), 1);
      Refused(kHelperOurs, kHelperPeer);
      if (i % 25 < 24) continue;
      ours.Run("ping -q -c 25 -i 0.002 -W 2 " + std::string(kHelperPeer));
      std::this_thread::sleep_for(pauses[i / 25]);
    }
    SendUdp(kHelperOurs, 40001, kHelperPeer, 53, 10, 1);
    viaHelper.TermAdapter();
    std::this_thread::sleep_for(500ms);
    direct.TermAdapter();
  }
  EXPECT_EQ(direct.TotalPackets, expected);
  EXPECT_EQ(viaHelper.TotalPackets, direct.TotalPackets);
  EXPECT_EQ(viaHelper.TotalBytes, direct.TotalBytes);
  EXPECT_EQ(viaHelper.Counters, direct.Counters);
  // The kernel's counts come back from the helper at the end.
  EXPECT_GE(viaHelper.CaptureSocket->Statistics().Received, static_cast<std::uint64_t>(expected));
  EXPECT_EQ(viaHelper.CaptureSocket->Statistics().Dropped, 0u);
  EXPECT_NE(kill(pid, 0), 0) << "the helper outlived its capture";
}

INSTANTIATE_TEST_SUITE_P(Families, HelperLive,
                         testing::Values(THelperFamily{"203.0.113.11", "203.0.113.12", "/24"},
                                         THelperFamily{"2001:db8:7::11", "2001:db8:7::12", "/64"}),
                         [](const auto& p) { return std::string(IsIpv6Text(p.param.Ours) ? "Ipv6" : "Ipv4"); });

// A member runs the helper while others talk on loopback: of their
// datagrams only the headers leave the kernel, in either mode and family;
// ours keep their payload only with --whole.
struct TFilterCase {
  bool Whole;
  const char* Ours;
  const char* Sender;
  const char* Other;
};

class HelperFilterLive : public testing::TestWithParam<TFilterCase> {};

TEST_P(HelperFilterLive, OthersPayloadNeverReachesTheStream) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  const TFilterCase& c = GetParam();
  TTestNamespace ns("wpf" + std::to_string(getpid()));
  ns.Run("ip addr add 2001:db8::5/128 dev lo nodad");
  ns.Run("ip addr add 2001:db8::9/128 dev lo nodad");
  THelperCopy helper;
  const std::string out = helper.Path + ".pcap";  // removed with the copy
  std::string command;
  for (const auto& word : helper.AsMember) command += word + " ";
  command += helper.Path + (c.Whole ? " --whole " : " ") + c.Ours + " >" + out;
  TInNamespace inside(ns);
  // Its standard input: closing it ends the capture, on every path.
  std::unique_ptr<FILE, int (*)(FILE*)> input(popen(command.c_str(), "w"), pclose);
  ASSERT_NE(input, nullptr);
  for (int i = 0; i < 500 && ReadWholeFile(out).size() < 24; ++i) std::this_thread::sleep_for(10ms);
  const std::string theirs = "Authorization: Basic dXNlcjpzZWNyZXQ=", mine = "GET /login HTTP/1.1";
  const int family = IsIpv6Text(c.Ours) ? AF_INET6 : AF_INET;
  TFd other(socket(family, SOCK_DGRAM, 0)), me(socket(family, SOCK_DGRAM, 0));
  Bind(other, c.Other, 8080);
  Bind(me, c.Ours, 8080);
  SendUdp(c.Sender, 40000, c.Other, 8080, 300, 3, std::vector<std::uint8_t>(theirs.begin(), theirs.end()));
  SendUdp(c.Sender, 40001, c.Ours, 8080, 300, 3, std::vector<std::uint8_t>(mine.begin(), mine.end()));
  const int status = pclose(input.release());
  const std::string stream = ReadWholeFile(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Their datagrams were captured: the headers with both addresses are there.
  std::string addresses(family == AF_INET6 ? 32 : 8, '\0');
  const std::size_t size = addresses.size() / 2;
  inet_pton(family, c.Sender, addresses.data());
  inet_pton(family, c.Other, addresses.data() + size);
  EXPECT_NE(stream.find(addresses), std::string::npos);
  EXPECT_EQ(stream.find(theirs), std::string::npos);
  EXPECT_EQ(stream.find(mine) != std::string::npos, c.Whole);
}

INSTANTIATE_TEST_SUITE_P(Modes, HelperFilterLive,
                         testing::Values(TFilterCase{false, "127.0.0.1", "127.0.0.5", "127.0.0.9"},
                                         TFilterCase{true, "127.0.0.1", "127.0.0.5", "127.0.0.9"},
                                         TFilterCase{false, "::1", "2001:db8::5", "2001:db8::9"},
                                         TFilterCase{true, "::1", "2001:db8::5", "2001:db8::9"}),
                         [](const auto& p) {
                           return std::string(p.param.Whole ? "Whole" : "Headers") +
                                  (IsIpv6Text(p.param.Ours) ? "Ipv6" : "");
                         });

// Given an interface, the helper's filter follows the addresses it holds: an
// address keeps its payload (--whole) only while it is the interface's.
TEST(HelperInterfaceLive, TheFilterFollowsTheInterfacesAddresses) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  TTestNamespace ns("wpi" + std::to_string(getpid()));
  THelperCopy helper;
  const std::string out = helper.Path + ".pcap";  // removed with the copy
  std::string command;
  for (const auto& word : helper.AsMember) command += word + " ";
  TInNamespace inside(ns);
  std::unique_ptr<FILE, int (*)(FILE*)> input(popen((command + helper.Path + " --whole lo >" + out).c_str(), "w"), pclose);
  ASSERT_NE(input, nullptr);
  for (int i = 0; i < 500 && ReadWholeFile(out).size() < 24; ++i) std::this_thread::sleep_for(10ms);
  const char* texts[] = {"before it was ours", "while it was ours", "never ours", "no longer ours"};
  for (int step = 0; step < 4; ++step) {
    if (step == 1 || step == 3) ns.Run(std::string("ip addr ") + (step == 1 ? "add" : "del") + " 127.0.0.7/32 dev lo");
    if (step == 1 || step == 3) std::this_thread::sleep_for(300ms);
    TFd sink(socket(AF_INET, SOCK_DGRAM, 0));
    Bind(sink, step == 2 ? "127.0.0.9" : "127.0.0.7", 8080);
    const std::string text = texts[step];
    SendUdp("127.0.0.5", 40000, step == 2 ? "127.0.0.9" : "127.0.0.7", 8080, 300, 1, {text.begin(), text.end()});
  }
  const int status = pclose(input.release());
  const std::string stream = ReadWholeFile(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (int step = 0; step < 4; ++step) EXPECT_EQ(stream.find(texts[step]) != std::string::npos, step == 1) << texts[step];
}

}  // namespace
