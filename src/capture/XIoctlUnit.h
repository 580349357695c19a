#pragma once
// The capture state shared by the capture thread and the window.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/DumpRing.h"
#include "capture/HostAddresses.h"
#include "catalogue/Global.h"
#include "support/DateTimeText.h"
#include "support/ManualResetEvent.h"

inline constexpr std::uint8_t DirectionSent = 0;
inline constexpr std::uint8_t DirectionReceived = 1;
inline constexpr int KindPackets = 0;
inline constexpr int KindBytes = 1;

// Counters[direction][kind][category]; category 0 of a direction is its total.
using CategoryCounters =
    std::array<std::array<std::array<std::int64_t, ServiceCategoryCount>, 2>, 2>;

inline constexpr int MaxAdapters = 10;

// Up to ten IPv4 addresses in network byte order, indexed 1 to 10.
class AdapterTable {
 public:
  std::uint32_t& operator[](int index) { return Entries.at(Checked(index)); }
  std::uint32_t operator[](int index) const { return Entries.at(Checked(index)); }

 private:
  static std::size_t Checked(int index) {
    if (index < 1 || index > MaxAdapters) throw std::out_of_range("adapter index out of 1..10");
    return static_cast<std::size_t>(index - 1);
  }
  std::array<std::uint32_t, MaxAdapters> Entries{};
};

// One counted packet, for the per-address view.
struct PacketRecord {
  std::uint32_t RemoteAddr = 0;  // network byte order
  std::uint8_t Direction = 0;
  std::uint8_t Category = 0;
  std::int64_t Length = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint16_t Millisecond = 0;
  std::int64_t UnixSeconds = 0;  // the same moment, for its date and UTC offset
};

// Appended to by the capture thread, emptied whole by the drain; its room is
// kept, so a steady flood allocates nothing per record.
using TRecordQueue = std::vector<PacketRecord>;

// Whoever is told about captured traffic: the window, the headless report, a
// test.
class TCaptureNotifyTarget {
 public:
  virtual ~TCaptureNotifyTarget() = default;
  // Capture thread: runs the handler on the target's own thread and returns
  // only when it has run there.
  virtual void CaptureNotify() = 0;
  // Target's thread, while it waits for the capture to end: runs a
  // notification that is waiting for it, so ending a capture cannot deadlock.
  virtual void ServePending() {}
};

// One IPv4 datagram as the capture backend delivers it, from its IP header on.
struct TCapturedDatagram {
  const std::uint8_t* Data = nullptr;
  std::size_t Length = 0;
  std::int64_t Seconds = 0;  // capture time stamp
  std::int64_t Microseconds = 0;
};

class TDatagramSink {
 public:
  virtual ~TDatagramSink() = default;
  virtual void Datagram(const TCapturedDatagram& Datagram) = 0;
};

struct TCaptureStats {
  std::uint64_t Received = 0;
  std::uint64_t Dropped = 0;
};

// The capture handle behind CaptureSocket; the capture backend derives from it.
class TCaptureSocket {
 public:
  enum class TReceiveStatus { Datagrams, Idle, Interrupted, EndOfFile, Failed };

  virtual ~TCaptureSocket() = default;
  // Capture thread: waits a short while for traffic, then hands every
  // datagram that is already waiting to Sink, in order.
  virtual TReceiveStatus Receive(TDatagramSink& Sink) = 0;
  // Any thread: makes a pending or the next receive return at once.
  virtual void Interrupt() = 0;
  // Capture thread, after its loop: hands Sink what the backend still holds
  // of the traffic before the stop, within a bounded time.
  virtual void Finish(TDatagramSink& /*Sink*/) {}
  // Capture thread, after its loop: releases the handle (statistics stay).
  virtual void Close() = 0;
  virtual TCaptureStats Statistics() const = 0;
  // Capture thread, between receives: the kernel's counts so far, for front
  // ends that show them while the capture runs.
  virtual TCaptureStats LiveStatistics() { return Statistics(); }
  // The backend's own words for the last failure.
  virtual std::string LastError() const = 0;
};

// What the capture layer reports about itself when it is started.
struct TCaptureStartupInfo {
  std::string Description;
};

class TXIoctl {
 public:
  TXIoctl() = default;
  TXIoctl(const TXIoctl&) = delete;
  TXIoctl& operator=(const TXIoctl&) = delete;

  TCaptureNotifyTarget* NotifyWindow = nullptr;
  TCaptureNotifyTarget* RecordWindow = nullptr;
  // Written by one thread and read by the other, hence atomics.
  std::atomic<std::uint8_t> Running{0};
  std::atomic<std::uint8_t> KeepRunning{0};
  std::int32_t IdleTicks = 0;
  std::uint8_t CurDirection = 0;
  std::uint8_t CurCategory = 0;
  std::int32_t CurLength = 0;
  std::int64_t TotalPackets = 0;
  std::int64_t TotalBytes = 0;
  CategoryCounters Counters{};
  TCaptureStartupInfo WsaData;
  std::unique_ptr<TCaptureSocket> CaptureSocket;
  std::int32_t SelectedAdapter = 0;
  std::int32_t AdapterCount = 0;
  TManualResetEvent StopEvent;
  std::atomic<std::uint8_t> QueueBusy{0};
  TRecordQueue RecordQueue;
  AdapterTable Adapters;
  // The interface that owned each address when it was listed, indexed as
  // Adapters (empty where none was known).
  std::array<std::string, MaxAdapters + 1> AdapterNames;
  std::array<std::uint8_t, 65536> RecvBuffer{};

  // A capture file to read instead of the live interface (empty: live).
  std::string CaptureFile;
  // Where ListAdaptor and InitAdapter learn the host's addresses.
  THostAddressSource HostAddressSource = SystemIpv4Addresses;
  // The capture helper used when this process may not capture itself
  // (empty: looked for beside the executable, then where it is installed).
  std::string CaptureHelper;

  // The packet dumps of every capture of this run, on their way from the
  // capture thread to the trace channel.
  TDumpFormatter Dumps{TraceOutput};

  // Sets the totals and the 68 counters to 0, as each capture start does.
  void ResetCounters() noexcept;

  // The host's IPv4 addresses into Adapters: 1 to 10, or -1 with a box.
  // Loopback is listed only where the real addresses leave room.
  std::int32_t ListAdaptor();
  // Opens the capture on Adapters[SelectedAdapter] (or CaptureFile): 0, or
  // -1 with a box. A failed start leaves nothing open.
  std::int32_t InitAdapter();
  // Asks the capture loop to end, wakes it, and waits for StopEvent while
  // serving a notification that is in flight.
  void TermAdapter();
};

// The engine's single way to tell the user about a failure: a modal box
// captioned "確認" with one OK button in the program, standard error in the
// headless report, a recorder in tests. Text is cut to 255 bytes. Detail,
// when there is one, says why and what to do about it.
using TErrorBoxSink = std::function<int(std::string_view Text, std::string_view Detail)>;
void SetErrorBoxSink(TErrorBoxSink Sink);
int ShowErrorBox(std::string_view Text, std::string_view Detail = {});
// Where the capture backend's own reason for a failure goes besides the
// trace channel (standard error unless set).
using TReasonSink = std::function<void(std::string_view Line)>;
void SetReasonSink(TReasonSink Sink);
inline constexpr std::string_view ErrorBoxCaption = "確認";

// The capture thread of one capture.
class TCaptureThread final : private TDatagramSink {
 public:
  // Resets the counters and starts the thread at once.
  explicit TCaptureThread(TXIoctl& State);
  // Waits for the thread to end; it must have been asked to end.
  ~TCaptureThread() override;
  TCaptureThread(const TCaptureThread&) = delete;
  TCaptureThread& operator=(const TCaptureThread&) = delete;

  // Asks the loop to end after the datagrams in hand (exit code 3).
  void Terminate() noexcept { Terminated.store(true); }
  void WaitFor();
  // 0 loop ended, 1 nobody to notify, 2 receive failed or woken, 3 terminated,
  // 4 abandoned after a fault in it (the window then ends the capture);
  // -1 while running.
  int ExitCode() const noexcept { return Exit.load(); }
  static constexpr int ExitAbandoned = 4;

 private:
  void Execute();
  int Run();
  void Datagram(const TCapturedDatagram& Datagram) override;
  void QueueRecord(std::uint8_t direction);

  TXIoctl& State;
  TLocalTime ReceiveTime;
  std::int64_t ReceiveSecond = -1;  // second ReceiveTime was computed for
  std::uint32_t SelectedAddr = 0;
  bool Matched = false;
  std::int32_t MatchedLength = 0;  // CurLength of the group's last datagram of ours
  std::atomic<bool> Terminated{false};
  std::atomic<int> Exit{-1};
  std::thread Worker;
};

// The capture engine's face to the window: lists adapters, starts and ends
// captures.
class TIPMonitor {
 public:
  TIPMonitor();
  ~TIPMonitor();
  TIPMonitor(const TIPMonitor&) = delete;
  TIPMonitor& operator=(const TIPMonitor&) = delete;

  std::int32_t WSA_Open();
  std::int32_t CaptureStart();
  void CaptureEnd();
  void WSA_Close();

  std::unique_ptr<TXIoctl> Ioctl;
  std::unique_ptr<TCaptureThread> Thread;
};
