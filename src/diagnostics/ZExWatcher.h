#pragma once
// The exception watcher and the hooks that feed it.
//
// Four moments reach the watcher of the thread that activated it:
//  - a C++ throw, at the throw, before any handler runs (the runtime's
//    __cxa_throw and __cxa_rethrow are interposed; a rethrow carries no object);
//  - a synchronous signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL; stack overflow
//    too, on an alternate signal stack), with the saved context;
//  - either of these inside SafeCall (our code called back from C), which
//    goes to the safecall events instead.
// A fault inside a notification is abandoned and the original exception goes
// on; notifications never nest.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

#include "diagnostics/StackTracer.h"

// A thrown C++ object as the language events see it.
struct TclThrownObject {
  void* Object = nullptr;
  const std::type_info* Type = nullptr;
  // Demangled class name ("std::runtime_error").
  std::string ClassName() const;
  // what() when the object is a std::exception, else empty.
  std::string Message() const;
};

// An object whose operation was entered through SafeCall. Its handler turns
// a failure into the error result SafeCall returns.
class TclSafeCallTarget {
 public:
  virtual ~TclSafeCallTarget() = default;
  virtual int SafeCallException(const std::string& Message, const void* ExceptionAddress);
};
inline constexpr int SafeCallFailure = -1;

class TclExceptWatcher;
using TclLanguageExceptionEvent = std::function<void(TclExceptWatcher& Sender, const TclThrownObject* E,
                                                     const TclExceptionInformation& EI, TclStackTracer& StackTracer)>;
using TclSystemExceptionEvent =
    std::function<void(TclExceptWatcher& Sender, const TclExceptionInformation& EI, TclStackTracer& StackTracer)>;
using TclSystemSafeCallExceptionEvent =
    std::function<void(TclExceptWatcher& Sender, TclSafeCallTarget* Target, const TclExceptionInformation& EI,
                       bool& NotifyTarget, TclStackTracer& StackTracer)>;
using TclLanguageSafeCallExceptionEvent =
    std::function<void(TclExceptWatcher& Sender, TclSafeCallTarget* Target, const TclThrownObject* E,
                       const TclExceptionInformation& EI, TclStackTracer& StackTracer)>;

// Owned by its owner (which frees it); registers itself in the constructing
// thread. Use it from that thread only.
class TclExceptWatcher {
 public:
  explicit TclExceptWatcher(void* Owner);
  virtual ~TclExceptWatcher();
  TclExceptWatcher(const TclExceptWatcher&) = delete;
  TclExceptWatcher& operator=(const TclExceptWatcher&) = delete;

  void* Owner() const noexcept { return FOwner; }
  bool Active() const noexcept { return FActive; }
  // True: the calling thread's CurrentWatcher becomes this watcher.
  // False: the calling thread's CurrentWatcher becomes none, whatever it held.
  void SetActive(bool Value);

  TclLanguageExceptionEvent OnLanguageException;
  TclSystemExceptionEvent OnSystemException;
  TclLanguageSafeCallExceptionEvent OnLanguageSafeCallException;
  TclSystemSafeCallExceptionEvent OnSystemSafeCallException;

  // Notifications: replace the current information, then fire the event of
  // the exception's kind.
  void HandleException(const ucontext_t& Context, bool IsFaultContext, const TclExceptionRecord& Record);
  // Returns NotifyTarget: whether the target's handler is to make the result.
  bool HandleSafeCallException(TclSafeCallTarget* Target, const ucontext_t& Context, bool IsFaultContext,
                               const TclExceptionRecord& Record);
  // The thrown object of the current information; empty for a rethrow or a signal.
  TclThrownObject ExceptionObject() const;
  const TclExceptionInformation* Information() const noexcept { return FInformation.get(); }
  // Created on first need.
  TclStackTracer& StackTracer();

 protected:
  virtual void DoLanguageException(const TclThrownObject* E);
  virtual void DoSystemException();
  virtual void DoLanguageSafeCallException(TclSafeCallTarget* Target, const TclThrownObject* E);
  virtual bool DoSystemSafeCallException(TclSafeCallTarget* Target);

 private:
  void CaptureInformation(const ucontext_t& Context, bool IsFaultContext, const TclExceptionRecord& Record);

  void* FOwner;
  bool FActive = false;
  std::unique_ptr<TclExceptionInformation> FInformation;
  std::unique_ptr<TclStackTracer> FStackTracer;
};

// The watcher to tell about exceptions of the calling thread; none at start.
extern thread_local TclExceptWatcher* CurrentWatcher;

// Installs the signal handlers, the watchdog's and the terminate handler,
// and resolves the runtime's throw entry points. The program calls it first
// thing in main; calling again does nothing. Signals the watcher does not
// take go to whatever handler was installed before.
void InstallDiagnosticHooks();

// Gives the calling thread what surviving a fault takes: an alternate
// signal stack, a stack for reports after a stack overflow, and a
// watchdog. Every thread the program starts calls it (activating a watcher
// does); what it makes is freed when the thread ends.
void PrepareThreadForFaults();

// Thrown from the faulting instruction of a fault in the program's own code
// (which is compiled so that such an instruction can throw), after the
// report: the abandoned frames' destructors run and their locks are freed.
// Only RunAbandonable and SafeCall are meant to catch it.
// Whoever catches it, the fault counts as left once the thrown object goes.
class TclFaultAbandon {
 public:
  TclFaultAbandon() noexcept;
  TclFaultAbandon(const TclFaultAbandon&) noexcept;
  TclFaultAbandon& operator=(const TclFaultAbandon&) = delete;
  ~TclFaultAbandon();

 private:
  bool Original = true;
};

// Run at the abandon point with the fault's message, while the watchdog
// still watches: what a caller does about the fault may allocate, and the
// faulting code may have held the allocator's lock.
using TAbandonHandler = std::function<void(const std::string& Message)>;

// Runs Fn. A synchronous signal inside it (after the watcher's report) abandons
// Fn and returns false with the fault's message ("Access violation at address
// $..." and so on). A fault in code with unwind rules (the program's own,
// and the libraries it calls) leaves through TclFaultAbandon, so the
// abandoned frames' clean-ups run; a stack overflow, or a frame the throw
// cannot pass (noexcept, no rules), leaves by a jump without them. Nestable;
// the innermost call is abandoned. Other C++ exceptions pass through
// unchanged.
//
// Every fault first gets a minimal report, written by the signal handler with
// async-signal-safe calls only, to standard error and to FaultLogPath(); the
// watcher's full report follows outside the handler (after a stack overflow,
// on a stack of its own). A report, or a way out, that takes longer than the
// watchdog allows ends the process by the fault's signal.
bool RunAbandonable(const std::function<void()>& Fn, std::string* Message = nullptr,
                    const TAbandonHandler& OnAbandon = {});

// A fault that no abandon point takes ends the process by its signal. The hook
// runs first, after the report (the trace window saves its log there).
using TFatalFaultHook = std::function<void()>;
void SetFatalFaultHook(TFatalFaultHook Hook);

// Where the minimal fault reports of this process go (a file in the user's
// state folder); empty before a watcher was activated.
std::string FaultLogPath();

// For our code called back from C: runs Fn; an exception or a fault inside it
// goes to the watcher's safecall events, and becomes an error result: the
// target's SafeCallException (unless the system safecall event cleared
// NotifyTarget), or SafeCallFailure without a target. 0 on success. Never throws.
int SafeCall(TclSafeCallTarget* Target, const std::function<void()>& Fn) noexcept;
