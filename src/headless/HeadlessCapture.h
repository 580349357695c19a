#pragma once
// One capture run without a window, shared by the report and the metrics
// endpoint: opens the capture on an address (live or from a file), keeps a
// session whose figures any thread may read while it runs (taken on the
// capture thread at each notification), and ends on a
// deadline, on Ctrl+C or SIGTERM, or when the capture ends by itself.
#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "capture/NotifyTargets.h"
#include "session/CaptureSession.h"

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
  // Ends the capture. 0, 1 when it ended early by itself, or ExitFaulted when
  // a fault ended it (either said on Err).
  int End(std::ostream& Err);
  // The figures then cover only what was counted before the fault.
  static constexpr int ExitFaulted = 3;
  static constexpr std::size_t ReportAddressRows = 100'000;

  bool Live() const { return IsLive; }
  bool Running() const;
  const TCaptureSession& Figures() const { return Session; }
  TCaptureSession& Figures() { return Session; }
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
  TCaptureSession Session;
  TDirectNotifyTarget Target;
  std::string AdapterText;
  bool IsLive = true;
  TIpAddress Address;
  bool EndedAlone = false;
  bool Dropped = false;
  std::string DropFailure;
};
