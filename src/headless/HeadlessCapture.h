#pragma once
// One capture run without a window, shared by the report and the metrics
// endpoint: opens the capture on an address (live or from a file), keeps a
// copy of its figures that any thread may read while it runs, and ends on a
// deadline, on Ctrl+C or SIGTERM, or when the capture ends by itself.
#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "capture/AddrHeavyHitters.h"
#include "capture/AddrTotals.h"
#include "capture/NotifyTargets.h"
#include "capture/IPMonitor.h"
#include "capture/ProgramTotals.h"
#include "capture/XIoctlUnit.h"
#include "report/Report.h"

// The figures of a running capture, published by the capture thread at each
// notification. Readers copy under a short lock, so a scrape never holds the
// capture thread for longer than one copy.
//
// A report lists the first 100,000 addresses, as the window does, and counts
// the others; the endpoint, which runs for months, keeps only a summary of
// the busiest (UseSummary) in fixed space.
class TLiveFigures {
 public:
  static constexpr std::size_t ReportAddressRows = 100'000;
  // Before the capture starts: addresses go into a summary that lists the
  // Top busiest.
  void UseSummary(int Top);
  // Capture thread, inside its notification: folds the queued records into
  // the address table and copies the counters.
  void Publish(TXIoctl& State, const TCaptureStats& Kernel);
  // From now on, records are also put down to the programs of this host
  // that sent or received them (LocalAddr: the watched address).
  void UsePrograms(std::uint32_t LocalAddr);
  // Once the capture has ended: waits a moment for the last look-ups.
  void FlushPrograms();
  // Any thread.
  TFiguresSnapshot Snapshot(bool WithAddresses) const;
  std::size_t AddressCount() const;

 private:
  mutable std::mutex Mutex;
  TFiguresSnapshot Current;  // without addresses
  // As many rows as the window lists; the rest are counted.
  TAddrTotalsTable Table{ReportAddressRows};
  std::unique_ptr<TAddrHeavyHitters> Summary;
  int SummaryTop = 0;
  std::unique_ptr<TProgramAttribution> Programs;
};

class THeadlessCapture {
 public:
  THeadlessCapture();
  ~THeadlessCapture();
  THeadlessCapture(const THeadlessCapture&) = delete;
  THeadlessCapture& operator=(const THeadlessCapture&) = delete;

  // Opens the capture on Adapter, live when File is empty, with the engine's
  // messages on Err; false when it cannot (exit code 1).
  bool Start(const std::string& Adapter, const std::string& File, std::ostream& Err);
  // Waits until Seconds have passed (negative: no limit), a stop signal came
  // or the capture ended by itself; calls Tick on this thread about every
  // Interval (zero: never).
  void Wait(long Seconds, std::chrono::milliseconds Interval, const std::function<void()>& Tick);
  // Ends the capture. 0, or 1 when it ended early by itself (said on Err).
  int End(std::ostream& Err);

  bool Live() const { return IsLive; }
  bool Running() const;
  const TLiveFigures& Figures() const { return Published; }
  TLiveFigures& Figures() { return Published; }
  // The final figures, complete once End has run.
  TFiguresSnapshot Final() const;
  const std::string& Adapter() const { return AdapterText; }
  bool EndedByItself() const { return EndedAlone; }

  // Set before Start: the capture thread gives up its capabilities at its
  // first notification once CaptureThreadMayDrop is set, the capture being
  // open. A capture thread that cannot is ended.
  bool DropCapabilitiesOnCaptureThread = false;
  // Set before Start: a live capture puts its traffic down to programs from
  // the start (--no-programs clears it).
  bool ProgramsFromStart = true;
  // Once started: a live capture puts its traffic down to programs from now
  // on, on a thread with the rights of the calling one.
  void StartPrograms();
  std::atomic<bool> CaptureThreadMayDrop{true};

 private:
  TIPMonitor Monitor;
  TLiveFigures Published;
  TDirectNotifyTarget Target;
  std::string AdapterText;
  bool IsLive = true;
  std::uint32_t Address = 0;
  bool EndedAlone = false;
  bool Dropped = false;
  std::string DropFailure;
};
