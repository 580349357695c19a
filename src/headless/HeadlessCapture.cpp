#include "headless/HeadlessCapture.h"

#include <platform/Sockets.h>

#include <algorithm>
#include <csignal>
#include <ostream>

#include "capture/DropRights.h"
#include "capture/HostAddresses.h"
#include "support/Settings.h"

namespace {

volatile std::sig_atomic_t StopRequested = 0;

void OnStopSignal(int) { StopRequested = 1; }

}  // namespace

void TLiveFigures::UseSummary(int top) {
  std::lock_guard lock(Mutex);
  SummaryTop = top;
  // Room for many more than the top, so that they are exact unless the
  // traffic is spread almost evenly over a great many addresses.
  Summary = std::make_unique<TAddrHeavyHitters>(top > 0 ? std::max<std::size_t>(8 * static_cast<std::size_t>(top), 256)
                                                        : 0);
}

// Capture thread.
void TLiveFigures::Publish(TXIoctl& state, const TCaptureStats& kernel) {
  std::lock_guard lock(Mutex);
  if (Programs) {
    Programs->FoldQueue(state);
    Programs->Apply();
  }
  if (Summary)
    Summary->Drain(state);
  else
    Table.Drain(state);
  Current.TotalPackets = state.TotalPackets;
  Current.TotalBytes = state.TotalBytes;
  Current.Counters = state.Counters;
  Current.Kernel = kernel;
}

TFiguresSnapshot TLiveFigures::Snapshot(bool withAddresses) const {
  std::lock_guard lock(Mutex);
  TFiguresSnapshot copy = Current;
  copy.RemoteAddresses = Summary ? Summary->Distinct() : Table.RowCount();
  if (withAddresses) copy.Addresses = Summary ? Summary->Top(SummaryTop) : Table.AllRows();
  if (Programs) {
    Programs->Apply();
    copy.HasPrograms = true;
    copy.Programs = Programs->Table().AllRows();
  }
  return copy;
}

void TLiveFigures::UsePrograms(std::uint32_t localAddr) {
  std::lock_guard lock(Mutex);
  Programs = std::make_unique<TProgramAttribution>(localAddr);
}

void TLiveFigures::FlushPrograms() {
  std::lock_guard lock(Mutex);
  if (Programs) Programs->Flush(std::chrono::seconds(1));
}

std::size_t TLiveFigures::AddressCount() const {
  std::lock_guard lock(Mutex);
  return static_cast<std::size_t>(Summary ? Summary->Distinct() : Table.RowCount());
}

THeadlessCapture::THeadlessCapture()
    : Target([this] {
        TXIoctl& state = *Monitor.Ioctl;
        if (DropCapabilitiesOnCaptureThread && !Dropped && CaptureThreadMayDrop.load()) {
          Dropped = true;
          // Read by End once this thread has ended.
          if (!DropRights("", DropFailure)) state.KeepRunning.store(0);
        }
        Published.Publish(state, state.CaptureSocket ? state.CaptureSocket->LiveStatistics() : TCaptureStats{});
      }) {}

THeadlessCapture::~THeadlessCapture() {
  if (Monitor.Thread) Monitor.CaptureEnd();
  SetErrorBoxSink(nullptr);
  SetReasonSink(nullptr);
}

bool THeadlessCapture::Start(const std::string& adapter, const std::string& file, std::ostream& err) {
  AdapterText = adapter;
  IsLive = file.empty();
  in_addr parsed{};
  if (inet_pton(AF_INET, adapter.c_str(), &parsed) != 1) {
    err << "wirepeek: '" << adapter << "' is not an IPv4 address\n";
    return false;
  }
  // The reason has its own line already.
  SetErrorBoxSink([&err](std::string_view text, std::string_view) {
    err << "wirepeek: " << text << '\n';
    return 1;
  });
  SetReasonSink([&err](std::string_view line) { err << "wirepeek: " << line << '\n'; });
  TXIoctl& state = *Monitor.Ioctl;
  if (IsLive) {
    // Any address of this host will do; the window's limit of ten listed
    // addresses does not apply to a capture asked for by address.
    std::vector<THostAddress> host;
    SystemIpv4Addresses(host);
    if (InterfaceOwning(host, parsed.s_addr).empty()) {
      err << "wirepeek: " << adapter << " is not an address of this host; its addresses are:";
      for (const auto address : CaptureAddresses(host)) err << ' ' << TAddrTotalsTable::AddressText(address);
      err << '\n';
      return false;
    }
  } else {
    state.CaptureFile = file;
  }
  state.Adapters[1] = parsed.s_addr;
  state.AdapterCount = 1;
  state.SelectedAdapter = 1;
  state.NotifyWindow = &Target;
  state.ExePath = GlobalSettings.ExePath;
  Address = parsed.s_addr;
  if (ProgramsFromStart) StartPrograms();
  return Monitor.CaptureStart() >= 0;
}

void THeadlessCapture::StartPrograms() {
  // The sockets of a capture file are not this host's.
  if (IsLive) Published.UsePrograms(Address);
}

void THeadlessCapture::Wait(long seconds, std::chrono::milliseconds interval, const std::function<void()>& tick) {
  using Clock = std::chrono::steady_clock;
  TXIoctl& state = *Monitor.Ioctl;
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
    const auto wake = std::min({nextTick, deadline, Clock::now() + std::chrono::milliseconds(50)});
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
    if (state.StopEvent.WaitFor(std::max(wait, std::chrono::milliseconds(1))) ==
        TManualResetEvent::TWaitResult::Signaled)
      break;
  }
  EndedAlone = state.StopEvent.IsSet() && !StopRequested;
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
}

bool THeadlessCapture::Running() const { return Monitor.Ioctl->Running.load() != 0; }

int THeadlessCapture::End(std::ostream& err) {
  TXIoctl& state = *Monitor.Ioctl;
  const int exitCode = EndedAlone && Monitor.Thread ? Monitor.Thread->ExitCode() : 0;
  if (Monitor.Thread) Monitor.CaptureEnd();
  if (Dropped && !DropFailure.empty()) err << "wirepeek: the capture thread " << DropFailure << '\n';
  // The thread has ended: the records of a last group, and the kernel's final
  // counts, which a closed handle keeps.
  Published.Publish(state, state.CaptureSocket ? state.CaptureSocket->Statistics() : TCaptureStats{});
  Published.FlushPrograms();
  // The capture ended by itself with a failed receive: a broken file, or an
  // interface that went away. The figures cover what was read.
  if (EndedAlone && exitCode == 2) {
    const std::string reason = state.CaptureSocket ? state.CaptureSocket->LastError() : std::string();
    err << "wirepeek: the capture ended early" << (reason.empty() ? "" : ": " + reason) << '\n';
    return 1;
  }
  return 0;
}

TFiguresSnapshot THeadlessCapture::Final() const { return Published.Snapshot(true); }
