// The watchdog of a watching thread: a per-thread timer whose real-time
// signal is aimed at that thread. A report, or the way out of a fault, that
// waits on something the faulting code holds (the allocator's lock, say)
// would otherwise wait for ever.
//
// WatchdogHandler runs as a signal handler: async-signal-safe calls only.
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "diagnostics/FaultState.h"

namespace fault_state {

namespace {

constexpr long ReportTimeLimitSeconds = 5;
const int WatchdogSignal = SIGRTMIN + 5;
thread_local timer_t Watchdog{};
thread_local bool HasWatchdog = false;
thread_local int Arms = 0;

void SetTimer(long Seconds) {
  itimerspec limit{};
  limit.it_value.tv_sec = Seconds;
  ::timer_settime(Watchdog, 0, &limit, nullptr);
}

void WatchdogHandler(int, siginfo_t*, void*) {
  if (LeavingFault) {
    static const char text[] = "wirepeek: the report of this fault did not finish in time; the program ends\n";
    (void)!::write(STDERR_FILENO, text, sizeof text - 1);
    DieBySignal(Fault.Signal);
  }
  if (InNotification && NotificationGuard) siglongjmp(*NotificationGuard, 1);
}

}  // namespace

void ArmWatchdog() {
  if (HasWatchdog && Arms++ == 0) SetTimer(ReportTimeLimitSeconds);
}

void DisarmWatchdog() {
  if (HasWatchdog && Arms > 0 && --Arms == 0) SetTimer(0);
}

void InstallWatchdog() {
  struct sigaction action {};
  action.sa_sigaction = WatchdogHandler;
  // SA_NODEFER: the jump out of an abandoned report leaves nothing blocked.
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  ::sigaction(WatchdogSignal, &action, nullptr);
}

void PrepareWatchdog() {
  if (HasWatchdog) return;
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = WatchdogSignal;
  event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
  HasWatchdog = ::timer_create(CLOCK_MONOTONIC, &event, &Watchdog) == 0;
}

void ReleaseWatchdog() {
  if (!HasWatchdog) return;
  ::timer_delete(Watchdog);
  HasWatchdog = false;
  Arms = 0;
}

}  // namespace fault_state
