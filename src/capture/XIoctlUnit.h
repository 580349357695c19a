#pragma once
// The capture state shared by the capture thread and the window.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>

#include "catalogue/Global.h"
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
};

using TRecordQueue = std::deque<PacketRecord>;

// Whoever is told about captured traffic: the window, the headless report, a
// test. CaptureNotify runs the handler on the target's own thread and returns
// only when it has run there.
class TCaptureNotifyTarget {
 public:
  virtual ~TCaptureNotifyTarget() = default;
  virtual void CaptureNotify() = 0;
};

// The capture handle behind CaptureSocket; the capture backend derives from it.
class TCaptureSocket {
 public:
  virtual ~TCaptureSocket() = default;
  // Any thread: makes a pending or the next receive return at once.
  virtual void Interrupt() = 0;
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
  std::array<std::uint8_t, 65536> RecvBuffer{};

  // Sets the totals and the 68 counters to 0, as each capture start does.
  void ResetCounters() noexcept;
};
