#pragma once
// The information saved for one exception and the stack tracer that turns
// its processor context into call frames named from the link map.
#include <sys/ucontext.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Exception codes of the record. C++ throws are reported under the two
// language codes; a signal under SignalExceptionCode(signal number).
inline constexpr std::uint32_t LanguageExceptionCode = 0x0EEDFADE;
inline constexpr std::uint32_t LanguageReraiseCode = 0x0EEDFADF;
constexpr std::uint32_t SignalExceptionCode(int Signal) noexcept {
  return 0xC0000000u | static_cast<std::uint32_t>(Signal);
}
// Flag bits: non-continuable; unwinding; exit unwind.
inline constexpr std::uint32_t ExceptionNonContinuable = 0x1;
inline constexpr std::uint32_t ExceptionUnwindFlags = 0x6;

inline constexpr std::size_t ExceptionMaximumParameters = 15;

struct TclExceptionRecord {
  std::uint32_t ExceptionCode = 0;
  std::uint32_t ExceptionFlags = 0;
  const void* ExceptionRecord = nullptr;  // chained record: copied, never followed
  const void* ExceptionAddress = nullptr;
  std::uint32_t NumberParameters = 0;
  // Language exceptions: [0] the address of the throw, [1] the thrown
  // object, [2] its std::type_info. Signals: [0] si_code, [1] the faulting
  // data address.
  std::uintptr_t ExceptionInformation[ExceptionMaximumParameters] = {};
};

// x86_64 general registers, as the reports show them.
struct TclContext {
  std::uint64_t Rip = 0, Rsp = 0, Rbp = 0, EFlags = 0;
  std::uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0;
};

class TclExceptionInformation {
 public:
  // Context: the saved processor state (the signal's ucontext, or the state
  // of the throwing function at its call of the throw). IsFaultContext:
  // true when Rip is the faulting instruction itself, false when it is a
  // return address (a throw), which is looked up one byte back.
  TclExceptionInformation(const ucontext_t& Context, bool IsFaultContext, const TclExceptionRecord& Record);

  const ucontext_t& Context() const noexcept { return FContext; }
  ucontext_t& MutableContext() noexcept { return FContext; }
  bool IsFaultContext() const noexcept { return FIsFaultContext; }
  const TclExceptionRecord& ExceptionRecord() const noexcept { return FRecord; }
  TclContext Registers() const noexcept;
  // The address the header's file and line describe.
  const void* LocationAddress() const noexcept;

 private:
  ucontext_t FContext;
  bool FIsFaultContext;
  TclExceptionRecord FRecord;
};

class TclStackFrame {
 public:
  std::string ModuleName;     // full path; empty when not resolved
  const void* Address = nullptr;  // after resolution: the address looked up
  std::string ProcedureName;
  std::string FileName;       // without folder
  std::int32_t LineNumber = 0;
};

class TclStackFrames {
 public:
  std::size_t Add(std::unique_ptr<TclStackFrame> Frame);
  void Clear() noexcept { FItems.clear(); }
  std::size_t Count() const noexcept { return FItems.size(); }
  const TclStackFrame& Items(std::size_t Index) const { return *FItems.at(Index); }

 private:
  std::vector<std::unique_ptr<TclStackFrame>> FItems;
};

class TclStackTracer {
 public:
  static constexpr std::size_t MaxFrames = 100;

  TclStackTracer() = default;
  virtual ~TclStackTracer() = default;
  TclStackTracer(const TclStackTracer&) = delete;
  TclStackTracer& operator=(const TclStackTracer&) = delete;

  TclStackFrames& Frames() noexcept { return FFrames; }
  // Walks EI's context; the result is valid until the next walk.
  TclStackFrames& Trace(const TclExceptionInformation& EI);
  void Walk(const TclExceptionInformation* EI, const void* ExceptionAddress);
  // Fills module, procedure, file and line. IsReturnAddress: the frame's
  // address is where a call returns to, so the call itself is one byte back.
  void ResolveFrame(TclStackFrame& Frame, bool IsReturnAddress);

 protected:
  // Prepares a walk; false when there is nothing to walk.
  virtual bool BeginWalk(const TclExceptionInformation& EI) = 0;
  // The next frame with only Address set (and whether it is a return
  // address), or nullptr when the walk is over.
  virtual std::unique_ptr<TclStackFrame> NextFrame(bool& IsReturnAddress) = 0;
  virtual std::string ProcedureNameOf(const void* Address) = 0;
  virtual void SourceLocationOf(const void* Address, std::int32_t& LineNumber, std::string& FileName) = 0;

 private:
  TclStackFrames FFrames;
};

// Walks a saved context with libunwind, reading the thread's own stack: the
// frames being walked must still be intact (the walk runs before the stack
// is unwound or abandoned).
class TclLibunwindStackTracer : public TclStackTracer {
 public:
  TclLibunwindStackTracer();
  ~TclLibunwindStackTracer() override;

 protected:
  bool BeginWalk(const TclExceptionInformation& EI) override;
  std::unique_ptr<TclStackFrame> NextFrame(bool& IsReturnAddress) override;
  std::string ProcedureNameOf(const void* Address) override;
  void SourceLocationOf(const void* Address, std::int32_t& LineNumber, std::string& FileName) override;

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};
