#pragma once
// The diagnostic text channel and its two devices: a list of lines (the trace
// window's text area) and a null device that discards everything.
#include <atomic>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The list the lines device writes into. It belongs to one thread (its
// owner); the channel changes it only on that thread.
class TLineList {
 public:
  virtual ~TLineList() = default;
  virtual int Count() const = 0;
  virtual void Add(std::string_view Line) = 0;
  virtual void AppendToLast(std::string_view Text) = 0;
  virtual void Clear() = 0;
  // Runs on a writer thread that is not the owner, after it has queued
  // finished text: the owner should call DrainPending on its own thread soon.
  virtual void TextPending() {}
};

// A plain list of lines, for tests and programs without a window.
class TStringLineList : public TLineList {
 public:
  int Count() const override { return static_cast<int>(Lines.size()); }
  void Add(std::string_view Line) override { Lines.emplace_back(Line); }
  void AppendToLast(std::string_view Text) override { Lines.back().append(Text); }
  void Clear() override { Lines.clear(); }
  std::vector<std::string> Lines;
};

class ETextChannelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text channel with a 128-character buffer, bound to one device.
// Any thread may write; each thread's lines reach the list whole and in the
// order that thread wrote them, and the list is changed only on the thread
// that bound the lines device (others' text is queued for DrainPending).
class TTextChannel {
 public:
  static constexpr std::size_t BufferSize = 128;

  TTextChannel();
  ~TTextChannel();
  TTextChannel(const TTextChannel&) = delete;
  TTextChannel& operator=(const TTextChannel&) = delete;

  // Binding leaves the channel closed with an empty buffer; the calling
  // thread becomes the owner of the list.
  void AssignLinesDevice(TLineList& Lines);
  void AssignNullDevice();

  void Rewrite();  // open for writing: the lines device clears its list
  void Append();   // open for appending: new text starts a new line
  void Reset();    // open for reading: refused by both devices
  void Close();    // hands buffered text to the device

  void Write(std::string_view Text);
  void WriteLine(std::string_view Text = {});

  bool IsOpen() const noexcept;
  // True when written text ends up somewhere; writers may skip formatting
  // text nobody will see when it is false.
  bool WantsText() const noexcept;

  // Owner thread: moves text that other threads finished into the list.
  void DrainPending();
  // Any thread: lines other threads finished that the owner has not taken
  // in yet (a writer may hold back while the owner is far behind).
  std::size_t QueuedLines() const noexcept;

  // True while the calling thread is inside the channel (holding its lock):
  // a fault report made then must not write until it has left.
  bool HeldByCallingThread() const noexcept;
  // What of the channel the calling thread holds now: its locks (and every
  // other owned mutex), its calls in progress, its running TextPending calls
  // and a block it is writing.
  struct TMark {
    std::size_t Locks = 0;
    int Uses = 0;
    int Notifying = 0;
    bool HoldsQueue = false;
  };
  static TMark MarkHeld() noexcept;
  // After a jump skipped the destructors of the calling thread's code: gives
  // up what that thread took of the channel (and of any owned mutex) since
  // Mark, so that other writers, Close and the destructor do not wait for
  // ever. Without a mark, everything it holds.
  void ReleaseAbandoned(const TMark& Mark) noexcept;
  void ReleaseAbandoned() noexcept;
  // Writes Lines as one block that no other thread's lines split. On the
  // owner, with the lines device bound, AtStart runs once what others had
  // finished is in and before the block is: the list's size then is where
  // the block starts.
  void WriteLinesWhole(const std::vector<std::string>& Lines, const std::function<void()>& AtStart);
  // Runs Fn with the channel's lock held (the fault tests).
  void WhileLocked(const std::function<void()>& Fn);

 private:
  // The owner's text goes straight to the list, other threads' is queued.
  void Put(std::string_view Text, bool LineEnd);

  struct TState;
  TState* State;
};

// The process-wide diagnostic channel.
extern TTextChannel TraceOutput;

// Diagnostic text is collected (trace window) when true, discarded otherwise.
extern std::atomic<bool> DebugMode;
