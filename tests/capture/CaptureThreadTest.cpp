#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>

#include "common/Datagrams.h"
#include "capture/NotifyTargets.h"
#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"

namespace {

using namespace std::chrono_literals;
using TStatus = TCaptureSocket::TReceiveStatus;

// A capture socket fed by the test: each Receive blocks until a group of
// datagrams, a status or an interrupt is there.
class TScriptedSocket final : public TCaptureSocket {
 public:
  struct TStep {
    std::vector<std::vector<std::uint8_t>> Group;
    TStatus Status = TStatus::Datagrams;
    bool Throw = false;
  };

  void Push(TStep step) {
    {
      std::lock_guard lock(Mutex);
      Steps.push_back(std::move(step));
    }
    Changed.notify_all();
  }

  TStatus Receive(TDatagramSink& sink) override {
    std::unique_lock lock(Mutex);
    ReceiveThread = std::this_thread::get_id();
    Waiting = true;
    Changed.notify_all();
    Changed.wait(lock, [&] { return Interrupted || !Steps.empty(); });
    Waiting = false;
    if (Interrupted) {
      Interrupted = false;
      return TStatus::Interrupted;
    }
    TStep step = std::move(Steps.front());
    Steps.pop_front();
    lock.unlock();
    if (step.Throw) throw std::runtime_error("receive broke");
    for (const auto& d : step.Group) sink.Datagram({d.data(), d.size(), 1'700'000'000, 250'000});
    return step.Status;
  }
  void Interrupt() override {
    {
      std::lock_guard lock(Mutex);
      Interrupted = true;
    }
    Changed.notify_all();
  }
  void Close() override { ClosedOn = std::this_thread::get_id(); }
  TCaptureStats Statistics() const override { return {}; }
  std::string LastError() const override { return "scripted"; }

  // Waits until the capture thread blocks in Receive.
  void AwaitWaiting() {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [&] { return Waiting; });
  }

  std::thread::id ReceiveThread, ClosedOn;

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<TStep> Steps;
  bool Interrupted = false;
  bool Waiting = false;
};

// Counts notifications; runs on the capture thread.
struct TCountingTarget : TCaptureNotifyTarget {
  void CaptureNotify() override {
    std::lock_guard lock(Mutex);
    ++Count;
    TotalsSeen.push_back(State ? State->TotalPackets : -1);
    LengthsSeen.push_back(State ? State->CurLength : -1);
  }
  int Notifications() {
    std::lock_guard lock(Mutex);
    return Count;
  }
  std::mutex Mutex;
  int Count = 0;
  const TXIoctl* State = nullptr;
  std::vector<std::int64_t> TotalsSeen;
  std::vector<std::int32_t> LengthsSeen;
};

class CaptureThreadTest : public testing::Test {
 protected:
  void SetUp() override {
    auto socket = std::make_unique<TScriptedSocket>();
    Socket = socket.get();
    State.CaptureSocket = std::move(socket);
    State.Adapters[1] = Addr("10.0.0.2");
    State.Adapters[2] = Addr("10.0.0.3");
    State.AdapterCount = 2;
    State.SelectedAdapter = 1;
    Target.State = &State;
    State.NotifyWindow = &Target;
  }

  static std::vector<std::uint8_t> Udp(const char* from, const char* to, std::uint16_t length,
                                       std::uint16_t sport = 5000, std::uint16_t dport = 53) {
    return MakeDatagram({.Protocol = 17, .Source = from, .Dest = to, .SourcePort = sport, .DestPort = dport,
                         .TotalLength = length, .Delivered = length});
  }

  void Stop(TCaptureThread& thread) {
    State.TermAdapter();
    thread.WaitFor();
  }

  TXIoctl State;
  TScriptedSocket* Socket = nullptr;
  TCountingTarget Target;
};

TEST_F(CaptureThreadTest, WithoutTargetEndsAtOnceWithCode1) {
  State.NotifyWindow = nullptr;
  TCaptureThread thread(State);
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 1);
  EXPECT_EQ(State.Running, 0);
  EXPECT_EQ(State.KeepRunning, 0);
  EXPECT_TRUE(State.StopEvent.IsSet());
  EXPECT_EQ(Socket->ReceiveThread, std::thread::id());  // nothing was received
}

TEST_F(CaptureThreadTest, OneNotificationPerGroupAfterItsLastDatagram) {
  TCaptureThread thread(State);
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100), Udp("9.9.9.9", "10.0.0.2", 200),
                          Udp("10.0.0.2", "8.8.8.8", 300)}});
  Socket->Push({.Group = {Udp("10.0.0.7", "10.0.0.8", 400)}});  // neither side is ours
  Socket->Push({.Group = {Udp("8.8.8.8", "10.0.0.2", 50)}});
  Socket->AwaitWaiting();
  while (Target.Notifications() < 3) std::this_thread::sleep_for(1ms);
  Socket->AwaitWaiting();
  Stop(thread);

  EXPECT_EQ(thread.ExitCode(), 2);  // woken out of its receive
  EXPECT_EQ(Socket->ClosedOn, Socket->ReceiveThread);  // closed by the thread that used it
  // The start, then one per group with a datagram of ours.
  EXPECT_EQ(Target.TotalsSeen, (std::vector<std::int64_t>{0, 3, 5}));
  EXPECT_EQ(State.TotalPackets, 5);
  EXPECT_EQ(State.TotalBytes, 1050);
  EXPECT_EQ(State.Counters[0][KindBytes][0], 400);
  EXPECT_EQ(State.Counters[1][KindBytes][0], 250);
  ASSERT_EQ(State.RecordQueue.size(), 4u);
  EXPECT_EQ(State.RecordQueue[0].RemoteAddr, Addr("9.9.9.9"));
  EXPECT_EQ(State.RecordQueue[1].Direction, 1);
  EXPECT_EQ(State.RecordQueue[2].RemoteAddr, Addr("8.8.8.8"));
  EXPECT_EQ(State.RecordQueue[3].Length, 50);
}

TEST_F(CaptureThreadTest, SelfToSelfIsQueuedTwiceSentFirst) {
  TCountingTarget recordTarget;
  State.RecordWindow = &recordTarget;
  TCaptureThread thread(State);
  Socket->Push({.Group = {Udp("10.0.0.2", "10.0.0.2", 80, 1025, 53)}});
  while (Target.Notifications() < 2) std::this_thread::sleep_for(1ms);
  Stop(thread);
  ASSERT_EQ(State.RecordQueue.size(), 2u);
  EXPECT_EQ(State.RecordQueue[0].Direction, 0);
  EXPECT_EQ(State.RecordQueue[0].Category, static_cast<int>(ServiceCategory::DnsClient));
  EXPECT_EQ(State.RecordQueue[1].Direction, 1);
  EXPECT_EQ(State.RecordQueue[1].Category, static_cast<int>(ServiceCategory::DnsServer));
  EXPECT_EQ(recordTarget.Notifications(), 2);  // one per record
  EXPECT_EQ(State.TotalPackets, 1);
  EXPECT_EQ(State.Counters[0][KindPackets][0], 1);
  EXPECT_EQ(State.Counters[1][KindPackets][0], 1);
}

// One flow's datagrams in a row make one record with their bytes; another
// flow in between, or the other direction, starts a new one.
TEST_F(CaptureThreadTest, ARunOfOneFlowIsOneRecordWithItsBytes) {
  TCaptureThread thread(State);
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100), Udp("10.0.0.2", "9.9.9.9", 200),
                          Udp("10.0.0.2", "9.9.9.9", 50, 5001), Udp("9.9.9.9", "10.0.0.2", 60, 53, 5000),
                          Udp("10.0.0.2", "9.9.9.9", 70), Udp("10.0.0.2", "9.9.9.9", 80)}});
  while (Target.Notifications() < 2) std::this_thread::sleep_for(1ms);
  Stop(thread);
  std::vector<std::tuple<int, int, std::int64_t>> records;  // direction, local port, bytes
  for (const PacketRecord& r : State.RecordQueue) records.emplace_back(r.Direction, r.LocalPort, r.Length);
  EXPECT_EQ(records, (std::vector<std::tuple<int, int, std::int64_t>>{
                         {0, 5000, 300}, {0, 5001, 50}, {1, 5000, 60}, {0, 5000, 150}}));
  EXPECT_EQ(State.TotalPackets, 6);
}

TEST_F(CaptureThreadTest, ShortDatagramDoesNotSeeTheLastOnesPorts) {
  TCaptureThread thread(State);
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100, 5000, 53),
                          MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.9.9.9", .SourcePort = 1,
                                        .DestPort = 1, .TotalLength = 20, .Delivered = 20})}});
  while (Target.Notifications() < 2) std::this_thread::sleep_for(1ms);
  Stop(thread);
  EXPECT_EQ(State.Counters[0][KindPackets][static_cast<int>(ServiceCategory::DnsClient)], 1);
  EXPECT_EQ(State.Counters[0][KindPackets][static_cast<int>(ServiceCategory::Sonota)], 1);
}

TEST_F(CaptureThreadTest, EndOfFileEndsWithCode0AndStopReturnsAtOnce) {
  TCaptureThread thread(State);
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100)}, .Status = TStatus::EndOfFile});
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 0);
  EXPECT_EQ(Target.Notifications(), 2);  // the last group is still told
  const auto before = std::chrono::steady_clock::now();
  State.TermAdapter();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms);
}

TEST_F(CaptureThreadTest, AFailureInsideTheLoopStillDropsTheFlags) {
  TCaptureThread thread(State);
  Socket->Push({.Group = {}, .Status = TStatus::Datagrams, .Throw = true});
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 2);
  EXPECT_EQ(State.Running, 0);
  EXPECT_EQ(State.KeepRunning, 0);
  EXPECT_TRUE(State.StopEvent.IsSet());
}

TEST_F(CaptureThreadTest, TerminateEndsWithCode3AfterTheGroupInHand) {
  TCaptureThread thread(State);
  Socket->AwaitWaiting();
  thread.Terminate();
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100)}});
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 3);
  EXPECT_EQ(State.TotalPackets, 1);
}

TEST_F(CaptureThreadTest, ClearedLoopFlagEndsWithCode0AtTheNextCheck) {
  TCaptureThread thread(State);
  Socket->AwaitWaiting();
  State.KeepRunning = 0;  // without waking the receive
  Socket->Push({.Group = {}, .Status = TStatus::Idle});
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 0);
}

TEST_F(CaptureThreadTest, StopWhileBlockedReturnsPromptly) {
  // The best of three, so one unlucky scheduling delay does not decide.
  auto best = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    TCaptureThread thread(State);
    Socket->AwaitWaiting();
    const auto before = std::chrono::steady_clock::now();
    State.TermAdapter();
    best = std::min(best, std::chrono::steady_clock::now() - before);
    thread.WaitFor();
  }
  EXPECT_LT(best, 100ms);
}

TEST_F(CaptureThreadTest, StopWhileANotificationIsHandledDoesNotDeadlock) {
  // The owner's event loop is this test thread, which is about to block in
  // TermAdapter; the notification can only be served from inside that wait.
  std::atomic<int> handled{0};
  std::atomic<bool> posted{false};
  TQueuedNotifyTarget target(
      [&] {
        std::this_thread::sleep_for(50ms);  // a slow window
        ++handled;
      },
      [&] { posted = true; });
  State.NotifyWindow = &target;
  TCaptureThread thread(State);
  while (!posted) std::this_thread::sleep_for(1ms);  // the start notification is in flight
  State.TermAdapter();
  thread.WaitFor();
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(State.Running, 0);
}

TEST_F(CaptureThreadTest, TheWindowSeesTheLengthOfTheGroupsLastDatagramOfOurs) {
  TCaptureThread thread(State);
  // Ours (received, 200), then two between other hosts.
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100), Udp("9.9.9.9", "10.0.0.2", 200),
                          Udp("10.0.0.7", "10.0.0.8", 333), Udp("10.0.0.8", "10.0.0.7", 444)}});
  while (Target.Notifications() < 2) std::this_thread::sleep_for(1ms);
  Stop(thread);
  ASSERT_EQ(Target.LengthsSeen.size(), 2u);
  EXPECT_EQ(Target.LengthsSeen[1], 200);
  EXPECT_EQ(State.CurDirection, DirectionReceived);
  EXPECT_EQ(State.TotalBytes, 1077);  // strangers still add to the totals
}

TEST_F(CaptureThreadTest, AHandlerThatFailsStillReleasesTheCaptureThread) {
  // The window's handler fails at every notification after the start, also
  // when the stop serves one: neither the capture nor its end may hang.
  int calls = 0;
  std::atomic<int> posted{0};
  TQueuedNotifyTarget target(
      [&] {
        if (++calls > 1) throw std::runtime_error("handler fault");
      },
      [&] { ++posted; });
  State.NotifyWindow = &target;
  TCaptureThread thread(State);
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100)}});
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100)}});
  int failures = 0;
  for (int i = 0; i < 2000 && posted < 3; ++i) {
    try {
      target.ServePending();
    } catch (const std::runtime_error&) {
      ++failures;
    }
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(posted, 3);  // the start and both groups got through
  try {
    target.ServePending();  // the second group's, in case the loop ended before serving it
  } catch (const std::runtime_error&) {
    ++failures;
  }
  Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100)}});
  while (posted < 4) std::this_thread::sleep_for(1ms);  // in flight while we stop
  const auto before = std::chrono::steady_clock::now();
  EXPECT_THROW(State.TermAdapter(), std::runtime_error);
  thread.WaitFor();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_GE(failures, 1);
  EXPECT_EQ(State.Running, 0);
  EXPECT_EQ(State.TotalPackets, 3);
}

TEST_F(CaptureThreadTest, NewCaptureStartsCountersFromZero) {
  {
    TCaptureThread thread(State);
    Socket->Push({.Group = {Udp("10.0.0.2", "9.9.9.9", 100)}, .Status = TStatus::EndOfFile});
    thread.WaitFor();
  }
  EXPECT_EQ(State.TotalPackets, 1);
  const auto category = State.CurCategory;
  TCaptureThread thread(State);
  EXPECT_EQ(State.TotalPackets, 0);
  EXPECT_EQ(State.Counters[0][KindPackets][0], 0);
  EXPECT_EQ(State.CurCategory, category);  // kept until the first datagram of ours
  EXPECT_EQ(State.RecordQueue.size(), 1u);
  Stop(thread);
}

}  // namespace
