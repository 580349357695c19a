#include "support/TextDevs.h"

#include "support/OwnedMutex.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

TTextChannel TraceOutput;
std::atomic<bool> DebugMode{false};

// Threads.
//
// The list belongs to the thread that bound the lines device (the owner), so
// only the owner ever calls its Add/AppendToLast/Clear. Every writing thread
// has a 128-character buffer of its own, so pieces of different threads'
// lines never mix.
//
// - The owner's hand-overs go straight into the list (so single-threaded use,
//   including the repair after the list was cleared elsewhere, behaves as the
//   plain channel would). That side is guarded by ApplyMutex, which only the
//   owner and the bind/close/destroy operations take: the capture thread never
//   waits while the window changes its list.
// - Another thread collects its hand-overs until one ends a line, then queues
//   the whole line under QueueMutex and calls TextPending (only when the queue
//   was empty: one wake-up per batch, not per dump line). The owner moves the
//   queue into the list in DrainPending, before and after its own hand-overs,
//   and in Close. While the owner's own line is unfinished in the list the
//   queue waits, or a queued line would be glued onto it.
// - Device, mode, list and owner change only with both mutexes held, so either
//   side reads them under its own mutex. Lock order: ApplyMutex, then
//   QueueMutex. TextPending runs with neither held; Close, rebinding and the
//   destructor wait until no TextPending call is running, so the list may be
//   destroyed once the channel is closed. TextPending must therefore only
//   signal the owner, never wait for it.
// - Opening and closing the lines device change the list, so only its owner
//   may do them; anyone may rebind.

namespace {

enum class TDevice { None, Lines, Null };

bool IsLineEnd(char C) { return C == '\r' || C == '\n'; }

const char* const NotOpenText = "text channel is not open for output";
const char* const NotBoundText = "text channel is not bound to a device";
const char* const NotReadableText = "text channel cannot be opened for reading";
const char* const NotOwnerText =
    "the lines device can only be opened and closed on the thread that bound it";

// This thread's share of the channel's counters, which a jump out of a fault
// or a report leaves behind: calls in progress, TextPending calls running,
// and whether it holds the queue back for a block.
thread_local int UsesByMe = 0;
thread_local int NotifyingByMe = 0;
thread_local bool HoldsQueueByMe = false;

}  // namespace

struct TTextChannel::TState {
  // Text of one writer that the list has not received yet.
  struct TWriterText {
    // The owner: the buffer. Others: the unfinished line, whose last Buffered
    // characters are still in the buffer.
    std::string Text;
    std::size_t Buffered = 0;
    // The last hand-over ended with CR: an LF right after it completes that
    // line end instead of making an empty line.
    bool AfterCR = false;
  };

  TOwnedMutex ApplyMutex;
  TOwnedMutex QueueMutex;
  std::condition_variable_any NotifyDone;

  // Both mutexes held to change, either one to read.
  TDevice Device = TDevice::None;
  bool Output = false;
  TLineList* Target = nullptr;
  std::atomic<std::thread::id> Owner{};
  std::atomic<bool> OpenFlag{false};
  std::atomic<bool> WantsFlag{false};

  // ApplyMutex.
  TWriterText OwnerText;
  int CurLine = 0;
  bool OwnerLineOpen = false;  // the list's last line is the owner's, unfinished
  bool HoldQueue = false;      // the owner writes a block that others' lines must not split

  // QueueMutex.
  std::unordered_map<std::thread::id, TWriterText> Others;
  std::vector<std::string> Queue;
  int Notifying = 0;
  std::atomic<bool> HasQueued{false};
  std::atomic<std::size_t> QueuedCount{0};  // Queue.size(), for readers without the mutex

  // Calls in progress, so that destruction can wait for them.
  std::atomic<int> Users{0};

  static bool IsMe(std::thread::id Id) { return Id == std::this_thread::get_id(); }

  void SetOutput(bool Value) {
    Output = Value;
    OpenFlag.store(Value, std::memory_order_release);
    WantsFlag.store(Value && Device == TDevice::Lines, std::memory_order_release);
  }

  void RequireOutput() const {
    if (!Output) throw ETextChannelError(NotOpenText);
  }

  void RequireOwnerForLines() const {
    if (Device == TDevice::Lines && !IsMe(Owner.load(std::memory_order_relaxed)))
      throw ETextChannelError(NotOwnerText);
  }

  // Buffers Text, calling HandOver whenever the buffer holds BufferSize
  // characters.
  template <class THandOver>
  static void Feed(TWriterText& W, std::string_view Text, THandOver&& HandOver) {
    while (!Text.empty()) {
      if (W.AfterCR) {
        W.AfterCR = false;
        if (Text.front() == '\n') {
          Text.remove_prefix(1);
          continue;
        }
      }
      const std::size_t take = std::min(BufferSize - W.Buffered, Text.size());
      W.Text.append(Text.substr(0, take));
      W.Buffered += take;
      Text.remove_prefix(take);
      if (W.Buffered == BufferSize) HandOver();
    }
  }

  template <class THandOver>
  static void FeedLine(TWriterText& W, std::string_view Text, THandOver&& HandOver) {
    Feed(W, Text, HandOver);
    Feed(W, "\r\n", HandOver);
    HandOver();
  }

  // Owner side (ApplyMutex held, lines device bound).

  // The lines device's hand-over. Returns whether trailing line-end
  // characters were removed (the line is finished).
  bool ApplyText(std::string_view T) {
    std::size_t m = T.size();
    while (m >= 1 && IsLineEnd(T[m - 1])) --m;
    const int c = Target->Count();
    if (CurLine < c - 1 || CurLine > c) CurLine = c;  // changed from elsewhere
    if (CurLine == c - 1)
      Target->AppendToLast(T.substr(0, m));
    else
      Target->Add(T.substr(0, m));
    if (m == T.size()) return false;
    ++CurLine;
    return true;
  }

  void DrainQueued() {
    if (HoldQueue || !HasQueued.load(std::memory_order_acquire)) return;
    if (OwnerLineOpen) {
      if (CurLine == Target->Count() - 1) return;
      OwnerLineOpen = false;  // the list was changed; the owner's next text starts a new line
    }
    std::vector<std::string> items;
    {
      std::lock_guard queueLock(QueueMutex);
      items.swap(Queue);
      HasQueued.store(false, std::memory_order_release);
      QueuedCount.store(0, std::memory_order_relaxed);
    }
    for (const std::string& item : items) ApplyText(item);
  }

  void OwnerHandOver() {
    TWriterText& w = OwnerText;
    // An empty hand-over would add an empty line, e.g. when a line end has
    // just filled the buffer.
    if (w.Buffered == 0) return;
    DrainQueued();
    OwnerLineOpen = !ApplyText(w.Text);
    w.AfterCR = w.Text.back() == '\r';
    w.Text.clear();
    w.Buffered = 0;
    DrainQueued();
  }

  void OwnerWrite(std::string_view Text, bool LineEnd) {
    RequireOutput();
    if (Device != TDevice::Lines) return;
    auto handOver = [this] { OwnerHandOver(); };
    if (LineEnd)
      FeedLine(OwnerText, Text, handOver);
    else
      Feed(OwnerText, Text, handOver);
  }

  // Other threads' side.

  // QueueMutex held. Returns whether the owner has to be told.
  bool OtherHandOver(TWriterText& W) {
    if (W.Buffered == 0) return false;
    W.Buffered = 0;
    const char last = W.Text.back();
    W.AfterCR = last == '\r';
    if (!IsLineEnd(last)) return false;
    Queue.push_back(std::move(W.Text));
    QueuedCount.store(Queue.size(), std::memory_order_relaxed);
    W.Text.clear();
    return !HasQueued.exchange(true, std::memory_order_acq_rel);
  }

  // Whether the calling thread (not the owner) has written part of a line.
  bool OtherLineOpen() {
    std::lock_guard queueLock(QueueMutex);
    const auto entry = Others.find(std::this_thread::get_id());
    return entry != Others.end() && !entry->second.Text.empty();
  }

  void OtherWrite(std::string_view Text, bool LineEnd) {
    std::unique_lock queueLock(QueueMutex);
    RequireOutput();
    if (Device != TDevice::Lines) return;  // the null device drops it
    const auto entry = Others.try_emplace(std::this_thread::get_id()).first;
    TWriterText& w = entry->second;
    bool notify = false;
    auto handOver = [&] { notify = OtherHandOver(w) || notify; };
    if (LineEnd)
      FeedLine(w, Text, handOver);
    else
      Feed(w, Text, handOver);
    if (w.Text.empty() && !w.AfterCR) Others.erase(entry);
    if (!notify) return;

    TLineList* const target = Target;
    ++Notifying;
    ++NotifyingByMe;
    queueLock.unlock();
    struct TDone {
      TState& S;
      ~TDone() {
        {
          std::lock_guard lock(S.QueueMutex);
          --S.Notifying;
          --NotifyingByMe;
        }
        S.NotifyDone.notify_all();
      }
    } done{*this};
    target->TextPending();
  }

  // Both sides (ApplyMutex held).

  // Ends output and empties every writer's text; the lines device receives it
  // only when Deliver (the caller is the owner). Waits for running
  // TextPending calls.
  void CloseHeld(bool Deliver) {
    if (!Output) return;
    std::vector<std::string> queued;
    std::vector<std::string> unfinished;
    {
      std::unique_lock queueLock(QueueMutex);
      SetOutput(false);
      queued.swap(Queue);
      HasQueued.store(false, std::memory_order_release);
      QueuedCount.store(0, std::memory_order_relaxed);
      for (auto& [id, w] : Others)
        if (!w.Text.empty()) unfinished.push_back(std::move(w.Text));
      Others.clear();
      NotifyDone.wait(queueLock, [this] { return Notifying == 0; });
    }
    if (Deliver && Device == TDevice::Lines) {
      OwnerHandOver();
      // From here on every text gets a line of its own; a later open sets
      // CurLine anew anyway.
      if (OwnerLineOpen) CurLine = Target->Count();
      for (const std::string& line : queued) ApplyText(line);
      for (const std::string& line : unfinished) {
        ApplyText(line);
        CurLine = Target->Count();
      }
    }
    OwnerText = {};
    OwnerLineOpen = false;
  }

  void Bind(TDevice NewDevice, TLineList* NewTarget) {
    std::unique_lock applyLock(ApplyMutex);
    // Text written so far reaches the old list, but only its owner may add it.
    CloseHeld(Device != TDevice::Lines || IsMe(Owner.load(std::memory_order_relaxed)));
    {
      std::unique_lock queueLock(QueueMutex);
      NotifyDone.wait(queueLock, [this] { return Notifying == 0; });
      Device = NewDevice;
      Target = NewTarget;
      Owner.store(std::this_thread::get_id(), std::memory_order_release);
      SetOutput(false);
    }
    CurLine = 0;
  }

  void Open(bool Clear) {
    std::unique_lock applyLock(ApplyMutex);
    if (Device == TDevice::None) throw ETextChannelError(NotBoundText);
    RequireOwnerForLines();
    CloseHeld(true);
    if (Device == TDevice::Lines) {
      if (Clear) {
        Target->Clear();
        CurLine = 0;
      } else {
        CurLine = Target->Count();
      }
    }
    std::lock_guard queueLock(QueueMutex);
    SetOutput(true);
  }
};

namespace {

// Counts a call in progress for the destructor.
class TUse {
 public:
  explicit TUse(std::atomic<int>& Users) : Count(Users) {
    Count.fetch_add(1);
    ++UsesByMe;
  }
  ~TUse() {
    --UsesByMe;
    Count.fetch_sub(1);
  }
  TUse(const TUse&) = delete;
  TUse& operator=(const TUse&) = delete;

 private:
  std::atomic<int>& Count;
};

}  // namespace

TTextChannel::TTextChannel() : State(new TState) {}

TTextChannel::~TTextChannel() {
  // Never touches the list: its owner may have destroyed it already. Writers
  // still inside a call see a closed channel and leave before the state goes.
  {
    std::lock_guard applyLock(State->ApplyMutex);
    std::unique_lock queueLock(State->QueueMutex);
    State->NotifyDone.wait(queueLock, [this] { return State->Notifying == 0; });
    State->SetOutput(false);
    State->Device = TDevice::None;
    State->Target = nullptr;
    State->Queue.clear();
    State->QueuedCount.store(0, std::memory_order_relaxed);
    State->Others.clear();
  }
  while (State->Users.load() != 0) std::this_thread::yield();
  delete State;
}

void TTextChannel::AssignLinesDevice(TLineList& Lines) {
  TUse use(State->Users);
  State->Bind(TDevice::Lines, &Lines);
}

void TTextChannel::AssignNullDevice() {
  TUse use(State->Users);
  State->Bind(TDevice::Null, nullptr);
}

void TTextChannel::Rewrite() {
  TUse use(State->Users);
  State->Open(true);
}

void TTextChannel::Append() {
  TUse use(State->Users);
  State->Open(false);
}

void TTextChannel::Reset() {
  TUse use(State->Users);
  std::unique_lock applyLock(State->ApplyMutex);
  if (State->Device == TDevice::None) throw ETextChannelError(NotBoundText);
  if (State->Output) {
    State->RequireOwnerForLines();
    State->CloseHeld(true);
  }
  throw ETextChannelError(NotReadableText);
}

void TTextChannel::Close() {
  TUse use(State->Users);
  std::unique_lock applyLock(State->ApplyMutex);
  if (!State->Output) return;
  State->RequireOwnerForLines();
  State->CloseHeld(true);
}

void TTextChannel::Put(std::string_view Text, bool LineEnd) {
  TUse use(State->Users);
  if (TState::IsMe(State->Owner.load(std::memory_order_acquire))) {
    std::unique_lock applyLock(State->ApplyMutex);
    if (TState::IsMe(State->Owner.load(std::memory_order_relaxed))) {
      State->OwnerWrite(Text, LineEnd);
      return;
    }
  }
  State->OtherWrite(Text, LineEnd);
}

void TTextChannel::Write(std::string_view Text) { Put(Text, false); }

void TTextChannel::WriteLine(std::string_view Text) { Put(Text, true); }

bool TTextChannel::IsOpen() const noexcept {
  return State->OpenFlag.load(std::memory_order_acquire);
}

bool TTextChannel::WantsText() const noexcept {
  return State->WantsFlag.load(std::memory_order_relaxed);
}

void TTextChannel::DrainPending() {
  TUse use(State->Users);
  if (!TState::IsMe(State->Owner.load(std::memory_order_acquire))) return;
  std::unique_lock applyLock(State->ApplyMutex);
  if (!TState::IsMe(State->Owner.load(std::memory_order_relaxed)) ||
      State->Device != TDevice::Lines)
    return;
  State->DrainQueued();
}

bool TTextChannel::HeldByCallingThread() const noexcept {
  return State->ApplyMutex.HeldByMe() || State->QueueMutex.HeldByMe();
}

TTextChannel::TMark TTextChannel::MarkHeld() noexcept {
  return {OwnedLocksHeld(), UsesByMe, NotifyingByMe, HoldsQueueByMe};
}

void TTextChannel::ReleaseAbandoned() noexcept { ReleaseAbandoned(TMark{}); }

void TTextChannel::ReleaseAbandoned(const TMark& Mark) noexcept {
  // The block's hold is changed under ApplyMutex, which its writer held.
  if (HoldsQueueByMe && !Mark.HoldsQueue) {
    State->HoldQueue = false;
    HoldsQueueByMe = false;
  }
  // Left in the middle of handing the owner's text to the list: that text is
  // abandoned with the code that wrote it, and the next line starts afresh.
  if (OwnedLockTakenSince(State->ApplyMutex, Mark.Locks)) {
    State->OwnerText = {};
    State->OwnerLineOpen = false;
    State->CurLine = State->Target ? State->Target->Count() : 0;
  }
  ReleaseOwnedLocksAbove(Mark.Locks);
  if (NotifyingByMe > Mark.Notifying) {
    {
      std::unique_lock queueLock(State->QueueMutex, std::defer_lock);
      if (!State->QueueMutex.HeldByMe()) queueLock.lock();
      State->Notifying -= NotifyingByMe - Mark.Notifying;
    }
    NotifyingByMe = Mark.Notifying;
    State->NotifyDone.notify_all();
  }
  if (UsesByMe > Mark.Uses) {
    State->Users.fetch_sub(UsesByMe - Mark.Uses);
    UsesByMe = Mark.Uses;
  }
}

void TTextChannel::WriteLinesWhole(const std::vector<std::string>& Lines, const std::function<void()>& AtStart) {
  TUse use(State->Users);
  if (TState::IsMe(State->Owner.load(std::memory_order_acquire))) {
    std::unique_lock applyLock(State->ApplyMutex);
    if (TState::IsMe(State->Owner.load(std::memory_order_relaxed)) && State->Device == TDevice::Lines &&
        State->Output) {
      // What others finished comes first; then nothing of theirs until the
      // block is in, so the block's place in the list is known at its start.
      // A block never continues a line left unfinished (by a fault, say).
      if (State->OwnerText.Buffered > 0 || (State->OwnerLineOpen && State->CurLine == State->Target->Count() - 1))
        State->OwnerWrite({}, true);
      State->DrainQueued();
      if (AtStart) AtStart();
      State->HoldQueue = true;
      HoldsQueueByMe = true;
      struct TRelease {
        TState& S;
        ~TRelease() {
          S.HoldQueue = false;
          HoldsQueueByMe = false;
        }
      } release{*State};
      for (const std::string& line : Lines) State->OwnerWrite(line, true);
      State->HoldQueue = false;
      HoldsQueueByMe = false;
      State->DrainQueued();
      return;
    }
  }
  if (State->OtherLineOpen()) WriteLine();
  for (const std::string& line : Lines) WriteLine(line);
}

void TTextChannel::WhileLocked(const std::function<void()>& Fn) {
  TUse use(State->Users);
  std::lock_guard applyLock(State->ApplyMutex);
  Fn();
}

std::size_t TTextChannel::QueuedLines() const noexcept {
  return State->QueuedCount.load(std::memory_order_relaxed);
}
