#pragma once
// The hand-off of packet dumps from the capture thread: the capture thread
// copies what a dump lists into a fixed ring and goes on; another thread
// turns the ring's entries into dump text. A full ring costs the dump, never
// the count.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/backend/PacketBytes.h"
#include "support/DateTimeText.h"
#include "support/TextDevs.h"

// One dumped datagram as the ring keeps it.
struct TDumpEntry {
  std::int32_t Length = 0;  // bytes the receive delivered
  std::uint8_t Limit = 0;   // the dump limit when it was captured
  timespec Clock{};         // the wall clock when it was captured
  // Dumps skipped for want of room right before this one.
  std::uint64_t SkippedBefore = 0;
  const std::uint8_t* Bytes = nullptr;  // the bytes the dump lists
  std::uint32_t Copied = 0;
};

// A ring of bytes of fixed size, allocated once, for one producer thread and
// one consumer thread. Entries are never split: one that does not fit before
// the end of the ring starts again at its beginning.
class TDumpRing {
 public:
  static constexpr std::size_t DefaultCapacity = std::size_t{16} << 20;
  // Entries take a header of this size plus their bytes, in steps of 8.
  static constexpr std::size_t HeaderSize = 40;

  // Capacity is rounded down to a multiple of 8 (and at least HeaderSize).
  explicit TDumpRing(std::size_t Capacity = DefaultCapacity);
  TDumpRing(const TDumpRing&) = delete;
  TDumpRing& operator=(const TDumpRing&) = delete;

  // Producer: copies Copied bytes. False when they do not fit: the dump is
  // skipped, and the next entry that fits says how many were.
  bool Push(std::int32_t Length, std::uint8_t Limit, const timespec& Clock, const std::uint8_t* Bytes,
            std::uint32_t Copied);

  // Consumer: the oldest entry, whose bytes stay valid until Pop.
  bool Front(TDumpEntry& Entry);
  void Pop();
  // Consumer: skips that no entry carries yet (the producer stopped after
  // them), now counted as reported. They came after every entry that ends
  // at or before After (a position Consumed reaches once those are popped),
  // and before every later one. 0 while an entry is being pushed.
  std::uint64_t TakeUnreported(std::uint64_t& After) noexcept;
  std::uint64_t TakeUnreported() noexcept {
    std::uint64_t after = 0;
    return TakeUnreported(after);
  }
  // Consumer: where the entries popped so far end.
  std::uint64_t Consumed() const noexcept { return Tail.load(std::memory_order_acquire); }
  // Any thread: skips that no entry carries yet.
  std::uint64_t PendingSkips() const noexcept { return Unreported.load(std::memory_order_acquire) & CountMask; }

  bool Empty() const noexcept;
  // Producer: whether an entry of Copied bytes would fit now.
  bool Fits(std::uint32_t Copied) const noexcept;
  std::size_t Capacity() const noexcept { return Size; }
  // Room the next entry may use, at most.
  std::size_t Free() const noexcept;
  // Every push that did not fit, since construction.
  std::uint64_t Skipped() const noexcept { return SkippedTotal.load(std::memory_order_relaxed); }
  // A dump that is not taken at all (the formatter has stopped).
  void CountSkip() noexcept { SkippedTotal.fetch_add(1, std::memory_order_relaxed); }

  // Room an entry of Copied bytes takes.
  static std::size_t EntrySize(std::uint32_t Copied) noexcept;

 private:
  std::size_t Size;
  std::unique_ptr<std::uint8_t[]> Storage;
  // Positions grow without end; Position % Size is the offset.
  alignas(64) std::atomic<std::uint64_t> Head{0};  // producer writes
  alignas(64) std::atomic<std::uint64_t> Tail{0};  // consumer writes
  // Skips no entry carries yet (low bits), the producer's push count (so a
  // consumer's take can tell that a push claimed skips meanwhile), and
  // whether a push is under way.
  static constexpr std::uint64_t CountMask = (std::uint64_t{1} << 40) - 1;
  static constexpr std::uint64_t PushUnit = std::uint64_t{1} << 40;
  static constexpr std::uint64_t Pushing = std::uint64_t{1} << 63;
  static constexpr std::uint64_t PushMask = ~CountMask & ~Pushing;
  alignas(64) std::atomic<std::uint64_t> Unreported{0};
  std::atomic<std::uint64_t> SkippedTotal{0};
  std::uint64_t FrontEnd = 0;  // consumer: where the entry Front gave ends
};

// The dump text of the capture thread's datagrams, written to a channel by a
// thread of its own. Entries reach the channel in capture order; a run of
// skipped dumps shows as "-- N datagrams not dumped --" where the run was.
class TDumpFormatter {
 public:
  // The channel's owner may fall this many lines behind before the formatter
  // waits for it (which lets the ring fill instead of memory).
  static constexpr std::size_t DefaultMaxBacklog = 20000;

  explicit TDumpFormatter(TTextChannel& Out, std::size_t Capacity = TDumpRing::DefaultCapacity,
                          std::size_t MaxBacklog = DefaultMaxBacklog);
  ~TDumpFormatter() { Finish(); }
  TDumpFormatter(const TDumpFormatter&) = delete;
  TDumpFormatter& operator=(const TDumpFormatter&) = delete;

  // Capture thread: takes the clock and keeps what the dump of Datagram (n
  // bytes delivered) lists; the ring and the thread are made at the first
  // call. With WaitWhile (a capture file: no wire to lose datagrams on), a
  // full ring is waited for while *WaitWhile is not 0, instead of skipping.
  void Dump(const TPacketView& Datagram, std::int32_t n, std::uint8_t Limit,
            const std::atomic<std::uint8_t>* WaitWhile = nullptr);

  // Ends the formatter's thread, promptly: what is still in the ring is not
  // formatted but reported in one skip line. Later dumps are dropped.
  void Finish();

  // Any thread.
  std::uint64_t Written() const noexcept { return WrittenCount.load(std::memory_order_relaxed); }
  std::uint64_t Skipped() const noexcept;
  // Dumps in the ring or being written.
  bool Idle() const noexcept;

  static std::string SkipLine(std::uint64_t Count);

 private:
  void Start();
  void Run();
  void Format();
  void TakeQuietSkips();
  void Write(const TDumpEntry& Entry);
  void WriteSkipLine(std::uint64_t Count);
  void WaitForEntries();
  void WaitForBacklog();
  bool Stopping() const noexcept { return Stop.load(std::memory_order_acquire); }

  TTextChannel& Out;
  const std::size_t Capacity;
  const std::size_t MaxBacklog;
  std::atomic<bool> Started{false};
  std::mutex StartMutex;
  bool StartFailed = false;  // StartMutex
  std::unique_ptr<TDumpRing> Ring;
  std::thread Worker;

  std::mutex WakeMutex;
  std::condition_variable Wake;
  std::atomic<bool> Sleeping{false};
  std::atomic<bool> Stop{false};
  std::atomic<bool> Busy{false};
  // Skips taken while entries captured before them were still in the ring:
  // written once those are (formatter; read by Idle).
  std::atomic<std::uint64_t> CarriedSkips{0};
  std::uint64_t CarryAfter = 0;
  // Stopped by a fault while formatting.
  std::atomic<bool> Broken{false};

  std::atomic<std::uint64_t> WrittenCount{0};
  std::atomic<std::uint64_t> DiscardedCount{0};  // left in the ring at the end

  // Formatter thread: the local time of ClockSecond, computed once a second.
  std::int64_t ClockSecond = -1;
  TLocalTime ClockTime;
};
