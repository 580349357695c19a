#pragma once
// The capture thread: receives, sorts and counts the datagrams of one capture.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "capture/backend/CaptureBackend.h"
#include "capture/backend/IpAddress.h"
#include "capture/InterfaceWatch.h"
#include "capture/TransportPorts.h"
#include "support/DateTimeText.h"

class TXIoctl;

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
  void Datagram6(const TPacketView& view);
  // Sets Watched from the selected entry.
  void ChooseWatched();
  void QueueRecord(std::uint8_t direction);

  TXIoctl& State;
  TLocalTime ReceiveTime;
  std::int64_t ReceiveSecond = -1;  // second ReceiveTime was computed for
  TWatchedSet Watched;
  // For a live capture of a whole interface: follows its addresses.
  std::unique_ptr<TInterfaceWatch> Watch;
  std::vector<TIpAddress> WatchedNow;  // the capture thread's copy of the watch's
  TIpAddress Source, Dest;  // of the datagram being counted
  bool Matched = false;
  std::int32_t MatchedLength = 0;  // CurLength of the group's last datagram of ours
  TTransportPorts Ports;           // of the datagram being counted
  std::atomic<bool> Terminated{false};
  std::atomic<int> Exit{-1};
  std::thread Worker;
};
