#include "headless/HeadlessCapture.h"

#include <platform/Sockets.h>

#include <algorithm>
#include <csignal>
#include <ostream>

#include "capture/backend/DropRights.h"
#include "capture/backend/HostAddresses.h"
#include "support/Settings.h"

namespace {

volatile std::sig_atomic_t StopRequested = 0;
// A stop signal can only set a flag, which the waiting loop looks at this
// often: soon enough for a person at the terminal, and rare enough that an
// idle capture costs next to nothing.
constexpr std::chrono::milliseconds StopSignalLook{200};

void OnStopSignal(int) { StopRequested = 1; }

}  // namespace

THeadlessCapture::THeadlessCapture()
    : Target([this] {
        TXIoctl& state = Session.State();
        if (DropCapabilitiesOnCaptureThread && !Dropped && CaptureThreadMayDrop.load()) {
          Dropped = true;
          // Read by End once this thread has ended.
          if (!DropRights("", DropFailure)) state.KeepRunning.store(0);
        }
        Session.Take(state.CaptureSocket ? state.CaptureSocket->LiveStatistics() : TCaptureStats{});
        Session.TakeAnswers();
      }) {
  // A report lists as many addresses as the window and counts the rest, so
  // its memory stays bounded; the endpoint replaces this with its summary.
  Session.ListAddresses(ReportAddressRows);
}

THeadlessCapture::~THeadlessCapture() {
  if (Session.Monitor().Thread) Session.Monitor().CaptureEnd();
}

bool THeadlessCapture::Start(const std::string& adapter, const std::string& file, std::ostream& err) {
  AdapterText = adapter;
  IsLive = file.empty();
  TIpAddress parsed;
  std::string scope;
  const bool address = TIpAddress::Parse(adapter, parsed, &scope);
  TXIoctl& state = Session.State();
  // An interface of this host stands for every address it holds.
  if (!address && !state.SelectAdapter(adapter)) {
    err << "wirepeek: '" << adapter << "' is not an IPv4 address\n";
    return false;
  }
  // The reason has its own line already.
  state.ErrorBox = [&err](std::string_view text, std::string_view) {
    err << "wirepeek: " << text << '\n';
    return 1;
  };
  state.Reason = [&err](std::string_view line) { err << "wirepeek: " << line << '\n'; };
  if (IsLive && address) {
    // Any address of this host will do; the window's limit of ten listed
    // addresses does not apply to a capture asked for by address.
    std::vector<THostAddress> host;
    SystemIpAddresses(host);
    // A scope names the interface that must own the address.
    const bool owned = scope.empty() ? !InterfaceOwning(host, parsed).empty()
                                     : std::any_of(host.begin(), host.end(), [&](const THostAddress& a) {
                                         return a.Addr == parsed && a.Interface == scope;
                                       });
    if (!owned) {
      err << "wirepeek: " << adapter << " is not an address of this host; its addresses are:";
      for (const auto& listed : CaptureAddresses(host))
        err << ' ' << ScopedText(listed, InterfaceOwning(host, listed));
      err << '\n';
      return false;
    }
  }
  if (!IsLive) state.CaptureFile = file;
  if (address) state.SelectAdapter(adapter);
  state.NotifyWindow = &Target;
  state.ExePath = RunningExecutablePath();
  // A whole interface's sockets are found by the address each datagram names.
  Address = address ? parsed : TIpAddress{};
  if (ProgramsFromStart) StartPrograms();
  return Session.Monitor().CaptureStart() >= 0;
}

void THeadlessCapture::StartPrograms() {
  // The sockets of a capture file are not this host's.
  if (IsLive) Session.StartPrograms(Address);
}

void THeadlessCapture::Wait(long seconds, std::chrono::milliseconds interval, const std::function<void()>& tick) {
  using Clock = std::chrono::steady_clock;
  TXIoctl& state = Session.State();
  StopRequested = 0;
  auto* previousInt = std::signal(SIGINT, OnStopSignal);
  auto* previousTerm = std::signal(SIGTERM, OnStopSignal);
  const auto start = Clock::now();
  const auto deadline = seconds < 0 ? Clock::time_point::max() : start + std::chrono::seconds(seconds);
  auto nextTick = interval.count() > 0 ? start + interval : Clock::time_point::max();
  const bool file = !IsLive;
  while (!StopRequested && (file || Clock::now() < deadline)) {
    const auto now = Clock::now();
    if (now >= nextTick) {
      tick();
      // Ticks keep to their schedule; a late one does not shift the others.
      while (nextTick <= now) nextTick += interval;
    }
    const auto wake = std::min({nextTick, deadline, Clock::now() + StopSignalLook});
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
    if (state.StopEvent.WaitFor(std::max(wait, std::chrono::milliseconds(1))) ==
        TManualResetEvent::TWaitResult::Signaled)
      break;
  }
  EndedAlone = state.StopEvent.IsSet() && !StopRequested;
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
}

bool THeadlessCapture::Running() const { return Session.Monitor().Ioctl->Running.load() != 0; }

int THeadlessCapture::End(std::ostream& err) {
  TXIoctl& state = Session.State();
  TIPMonitor& monitor = Session.Monitor();
  const int exitCode = EndedAlone && monitor.Thread ? monitor.Thread->ExitCode() : 0;
  if (monitor.Thread) monitor.CaptureEnd();
  if (Dropped && !DropFailure.empty()) err << "wirepeek: the capture thread " << DropFailure << '\n';
  // The thread has ended: the records of a last group, and the kernel's final
  // counts, which a closed handle keeps.
  Session.Take(state.CaptureSocket ? state.CaptureSocket->Statistics() : TCaptureStats{});
  Session.FlushPrograms();
  Session.FlushNames(std::chrono::seconds(2));
  // The capture ended by itself with a failed receive: a broken file, or an
  // interface that went away. The figures cover what was read.
  if (EndedAlone && exitCode == TCaptureThread::ExitAbandoned) {
    err << "wirepeek: the capture ended by a fault; the figures cover only what was counted before it\n";
    return ExitFaulted;
  }
  if (EndedAlone && exitCode == 2) {
    const std::string reason = state.CaptureSocket ? state.CaptureSocket->LastError() : std::string();
    err << "wirepeek: the capture ended early" << (reason.empty() ? "" : ": " + reason) << '\n';
    return 1;
  }
  return 0;
}

TFiguresSnapshot THeadlessCapture::Final() const { return Session.Snapshot(true); }
