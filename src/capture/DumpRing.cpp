#include "capture/DumpRing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <platform/Thread.h>

#include "capture/DumpPacket.h"
#include "support/FaultInjection.h"
#include "support/WorkerGuard.h"

namespace {

// An entry as it lies in the ring. Size 0 marks the rest of the ring as
// unused: the next entry starts at the beginning.
struct TEntryHeader {
  std::uint32_t Size = 0;
  std::int32_t Length = 0;
  std::uint32_t Copied = 0;
  std::uint8_t Limit = 0;
  std::uint8_t Unused[3] = {};
  std::int64_t Seconds = 0;
  std::int64_t Nanoseconds = 0;
  std::uint64_t SkippedBefore = 0;
};
static_assert(sizeof(TEntryHeader) == TDumpRing::HeaderSize);

constexpr std::size_t Align = 8;

std::size_t RoundUp(std::size_t n) { return (n + Align - 1) / Align * Align; }

// With nothing to format and no skips to report, the formatter sleeps until
// the capture thread wakes it; this only bounds the cost of a missed wake-up.
constexpr auto LongestSleep = std::chrono::seconds(1);
// Skips no entry will carry are reported after this long without dumps.
constexpr auto QuietBeforeSkipLine = std::chrono::milliseconds(50);
constexpr auto BacklogPoll = std::chrono::milliseconds(1);

}  // namespace

TDumpRing::TDumpRing(std::size_t Capacity)
    : Size(std::max(Capacity / Align * Align, HeaderSize)),
      // Not value-initialised: pages nobody writes to cost no memory.
      Storage(new std::uint8_t[Size]) {}

std::size_t TDumpRing::EntrySize(std::uint32_t Copied) noexcept { return HeaderSize + RoundUp(Copied); }

bool TDumpRing::Fits(std::uint32_t Copied) const noexcept {
  const std::size_t need = EntrySize(Copied);
  const std::uint64_t head = Head.load(std::memory_order_relaxed);
  const std::uint64_t used = head - Tail.load(std::memory_order_acquire);
  const std::size_t toEnd = Size - static_cast<std::size_t>(head % Size);
  return (need <= toEnd ? need : toEnd + need) <= Size - used;
}

bool TDumpRing::Push(std::int32_t Length, std::uint8_t Limit, const timespec& Clock, const std::uint8_t* Bytes,
                     std::uint32_t Copied) {
  const std::size_t need = EntrySize(Copied);
  const std::uint64_t head = Head.load(std::memory_order_relaxed);
  const std::uint64_t used = head - Tail.load(std::memory_order_acquire);
  const std::size_t offset = static_cast<std::size_t>(head % Size);
  const std::size_t toEnd = Size - offset;
  // An entry that does not fit before the end wastes the rest of the ring.
  const std::size_t take = need <= toEnd ? need : toEnd + need;
  if (take > Size - used) {
    Unreported.fetch_add(1, std::memory_order_acq_rel);
    SkippedTotal.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  std::uint64_t at = head;
  if (need > toEnd) {
    if (toEnd >= HeaderSize) {
      const TEntryHeader marker{};
      std::memcpy(Storage.get() + offset, &marker, sizeof marker);
    }
    at += toEnd;
  }
  TEntryHeader header;
  header.Size = static_cast<std::uint32_t>(need);
  header.Length = Length;
  header.Copied = Copied;
  header.Limit = Limit;
  header.Seconds = Clock.tv_sec;
  header.Nanoseconds = Clock.tv_nsec;
  // Claims the skips before this entry; the consumer's take then fails
  // until the entry is in (see TakeUnreported).
  std::uint64_t word = Unreported.load(std::memory_order_relaxed);
  while (!Unreported.compare_exchange_weak(word, (((word & PushMask) + PushUnit) & PushMask) | Pushing,
                                           std::memory_order_acq_rel))
    ;
  header.SkippedBefore = word & CountMask;
  std::uint8_t* const place = Storage.get() + at % Size;
  std::memcpy(place, &header, sizeof header);
  if (Copied) std::memcpy(place + HeaderSize, Bytes, Copied);
  // Sequentially consistent, with Empty and the formatter's Sleeping flag:
  // either the formatter sees this entry, or the producer sees it asleep.
  Head.store(at + need, std::memory_order_seq_cst);
  Unreported.fetch_and(~Pushing, std::memory_order_seq_cst);
  return true;
}

bool TDumpRing::Front(TDumpEntry& Entry) {
  std::uint64_t tail = Tail.load(std::memory_order_relaxed);
  const std::uint64_t head = Head.load(std::memory_order_acquire);
  TEntryHeader header;
  for (;;) {
    if (tail == head) return false;
    const std::size_t offset = static_cast<std::size_t>(tail % Size);
    const std::size_t toEnd = Size - offset;
    if (toEnd >= HeaderSize) {
      std::memcpy(&header, Storage.get() + offset, sizeof header);
      if (header.Size != 0) break;
    }
    tail += toEnd;  // the producer went on at the beginning
  }
  const std::uint8_t* const place = Storage.get() + tail % Size;
  Entry.Length = header.Length;
  Entry.Limit = header.Limit;
  Entry.Clock.tv_sec = static_cast<std::time_t>(header.Seconds);
  Entry.Clock.tv_nsec = static_cast<long>(header.Nanoseconds);
  Entry.SkippedBefore = header.SkippedBefore;
  Entry.Bytes = place + HeaderSize;
  Entry.Copied = header.Copied;
  FrontEnd = tail + header.Size;
  return true;
}

std::uint64_t TDumpRing::TakeUnreported(std::uint64_t& After) noexcept {
  // Read before the head: a take that succeeds saw no push claim skips
  // since, so every entry in the head came before these skips, and every
  // entry after it claims its skips after them.
  std::uint64_t word = Unreported.load(std::memory_order_seq_cst);
  if ((word & Pushing) || (word & CountMask) == 0) return 0;
  const std::uint64_t head = Head.load(std::memory_order_seq_cst);
  if (!Unreported.compare_exchange_strong(word, word & ~CountMask, std::memory_order_seq_cst)) return 0;
  After = head;
  return word & CountMask;
}

void TDumpRing::Pop() { Tail.store(FrontEnd, std::memory_order_release); }

bool TDumpRing::Empty() const noexcept {
  return Head.load(std::memory_order_seq_cst) == Tail.load(std::memory_order_acquire);
}

std::size_t TDumpRing::Free() const noexcept {
  return Size - static_cast<std::size_t>(Head.load(std::memory_order_acquire) -
                                         Tail.load(std::memory_order_acquire));
}

TDumpFormatter::TDumpFormatter(TTextChannel& out, std::size_t capacity, std::size_t maxBacklog)
    : Out(out), Capacity(capacity), MaxBacklog(std::max<std::size_t>(maxBacklog, 1)) {}

void TDumpFormatter::Finish() {
  std::lock_guard startLock(StartMutex);
  Stop.store(true, std::memory_order_release);
  if (!Worker.joinable()) return;
  {
    std::lock_guard lock(WakeMutex);
  }
  Wake.notify_all();
  Worker.join();
}

std::string TDumpFormatter::SkipLine(std::uint64_t Count) {
  return "-- " + std::to_string(Count) + " datagrams not dumped --";
}

void TDumpFormatter::Start() {
  std::lock_guard startLock(StartMutex);
  if (Started.load(std::memory_order_relaxed) || StartFailed || Stopping()) return;
  try {
    Ring = std::make_unique<TDumpRing>(Capacity);
    Worker = std::thread([this] { Run(); });
  } catch (...) {
    // No memory or no thread: the capture goes on without dumps.
    Ring.reset();
    StartFailed = true;
    return;
  }
  Started.store(true, std::memory_order_release);
}

// Capture thread.
void TDumpFormatter::Dump(const TPacketView& Datagram, std::int32_t n, std::uint8_t Limit,
                          const std::atomic<std::uint8_t>* WaitWhile) {
  if (!Started.load(std::memory_order_acquire)) {
    Start();
    if (!Started.load(std::memory_order_acquire)) return;
  }
  if (Stopping()) return;
  if (Broken.load(std::memory_order_acquire)) {
    Ring->CountSkip();
    return;
  }
  timespec clock{};
  clock_gettime(CLOCK_REALTIME, &clock);
  std::size_t listed = n < 0 ? 0 : static_cast<std::size_t>(n);
  if (Limit != 0) listed = std::min<std::size_t>(listed, DumpLimitedBytes);
  listed = std::min(listed, Datagram.Length());
  const auto copied = static_cast<std::uint32_t>(listed);
  // An entry that does not fit an empty ring never will.
  while (WaitWhile && !Ring->Fits(copied) && !Ring->Empty() && WaitWhile->load(std::memory_order_relaxed) &&
         !Stopping()) {
    if (Sleeping.load(std::memory_order_seq_cst)) {
      std::lock_guard lock(WakeMutex);
      Wake.notify_one();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (!Ring->Push(n, Limit, clock, Datagram.Bytes(), copied)) return;
  // Either the formatter sees the entry, or we see that it sleeps (see Push).
  if (Sleeping.load(std::memory_order_seq_cst)) {
    std::lock_guard lock(WakeMutex);
    Wake.notify_one();
  }
}

std::uint64_t TDumpFormatter::Skipped() const noexcept {
  if (!Started.load(std::memory_order_acquire)) return 0;
  return Ring->Skipped() + DiscardedCount.load(std::memory_order_relaxed);
}

bool TDumpFormatter::Idle() const noexcept {
  if (!Started.load(std::memory_order_acquire)) return true;
  if (Broken.load(std::memory_order_acquire)) return true;
  return Ring->Empty() && Ring->PendingSkips() == 0 && CarriedSkips.load() == 0 && !Busy.load();
}

// Formatter thread.
void TDumpFormatter::Run() {
  // A fault while formatting stops the dumps, not the capture: what comes
  // later is counted as not dumped. The line saying so travels with the
  // fault's report, so it lands below it, on a line of its own.
  if (RunWorker([this] { Format(); }, "-- the packet dump stopped after a fault --")) return;
  Broken.store(true, std::memory_order_release);
}

// Formatter thread.
void TDumpFormatter::Format() {
  // The counts are what matters: under load, the capture thread and the
  // window get the processor before the dump text does (a full ring then
  // skips dumps, never datagrams). Lowering one's own priority needs no
  // privilege; if it fails the dumps merely compete as equals.
  LowerThreadPriority();
  TDumpRing& ring = *Ring;
  TDumpEntry entry;
  while (!Stopping()) {
    if (!ring.Front(entry)) {
      WaitForEntries();
      continue;
    }
    WaitForBacklog();
    if (Stopping()) break;
    if (entry.SkippedBefore != 0) WriteSkipLine(entry.SkippedBefore);
    Write(entry);
    WrittenCount.fetch_add(1, std::memory_order_relaxed);
    ring.Pop();
    if (const std::uint64_t carried = CarriedSkips.load(); carried != 0 && ring.Consumed() >= CarryAfter) {
      WriteSkipLine(carried);
      CarriedSkips.store(0);
    }
  }
  // Ending is prompt: what is left is only counted.
  std::uint64_t left = 0, skipped = 0;
  while (ring.Front(entry)) {
    ++left;
    skipped += entry.SkippedBefore;
    ring.Pop();
  }
  skipped += ring.TakeUnreported() + CarriedSkips.exchange(0);
  DiscardedCount.fetch_add(left, std::memory_order_relaxed);
  if (left + skipped != 0) WriteSkipLine(left + skipped);
}

// Formatter thread.
void TDumpFormatter::WaitForEntries() {
  std::unique_lock lock(WakeMutex);
  Sleeping.store(true, std::memory_order_seq_cst);
  const bool skipsWaiting = Ring->PendingSkips() != 0;
  const bool woken = Wake.wait_for(lock, skipsWaiting ? QuietBeforeSkipLine : LongestSleep,
                                   [this] { return Stopping() || !Ring->Empty(); });
  Sleeping.store(false, std::memory_order_relaxed);
  lock.unlock();
  if (woken || !skipsWaiting) return;
  // Dumps stopped after a run of skips (the capture ended, say): report the
  // run now rather than before a dump that may never come.
  Busy.store(true);
  TakeQuietSkips();
  Busy.store(false);
}

// Formatter thread: skips with no entry after them. Entries captured before
// them may have arrived since the quiet spell began; then the line waits for
// those.
void TDumpFormatter::TakeQuietSkips() {
  std::uint64_t after = 0;
  const std::uint64_t n = Ring->TakeUnreported(after);
  if (n == 0) return;
  if (Ring->Consumed() >= after) {
    WriteSkipLine(n);
  } else {
    CarryAfter = after;
    CarriedSkips.fetch_add(n);
  }
}

// Formatter thread: the channel's owner takes lines in at its own pace;
// while it is far behind, entries wait in the ring.
void TDumpFormatter::WaitForBacklog() {
  while (Out.QueuedLines() >= MaxBacklog && !Stopping()) {
    std::unique_lock lock(WakeMutex);
    Wake.wait_for(lock, BacklogPoll, [this] { return Stopping(); });
  }
}

// Formatter thread.
void TDumpFormatter::Write(const TDumpEntry& Entry) {
  FaultPoint(TFaultPoint::DumpFormatter);
  if (!Out.WantsText()) return;
  if (Entry.Clock.tv_sec != ClockSecond) {
    ClockTime = LocalTimeOf(Entry.Clock.tv_sec, Entry.Clock.tv_nsec / 1000);
    ClockSecond = Entry.Clock.tv_sec;
  }
  try {
    DumpPacket(Out, TPacketView(Entry.Bytes, Entry.Copied), Entry.Length, Entry.Limit, ClockTime);
  } catch (const ETextChannelError&) {
    // Closed or rebound meanwhile; the dump is only diagnostics.
  }
}

// Formatter thread.
void TDumpFormatter::WriteSkipLine(std::uint64_t Count) {
  if (!Out.WantsText()) return;
  try {
    Out.WriteLine(SkipLine(Count));
  } catch (const ETextChannelError&) {
  }
}
