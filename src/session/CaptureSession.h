#pragma once
// One capture and everything gathered from its records, for every front end:
// the window, the report and the endpoint read the same figures, folded in
// one place.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "capture/AddrHeavyHitters.h"
#include "capture/AddrTotals.h"
#include "capture/IPMonitor.h"
#include "capture/PortTotals.h"
#include "capture/ProgramTotals.h"
#include "names/HostNames.h"
#include "report/Report.h"

class TCaptureSession {
 public:
  TCaptureSession();
  ~TCaptureSession();
  TCaptureSession(const TCaptureSession&) = delete;
  TCaptureSession& operator=(const TCaptureSession&) = delete;

  TIPMonitor& Monitor() noexcept { return IPMonitor; }
  const TIPMonitor& Monitor() const noexcept { return IPMonitor; }
  TXIoctl& State() noexcept { return *IPMonitor.Ioctl; }

  // Before a capture starts. Addresses go into a table of at most Rows rows
  // (the default lists them all), or, with a Top, into a summary in fixed
  // space that lists the Top busiest (for a run of months).
  void ListAddresses(std::size_t Rows);
  void UseSummary(int Top);
  // Empties the figures for a new capture; records are put down to programs
  // of this host (LocalAddr) when Programs, and not
  // otherwise. Attribution's look-ups run with the rights of the calling
  // thread.
  void Restart(bool Programs, const TIpAddress& LocalAddr);
  // From now on, records are also put down to programs (once the capture
  // runs).
  void StartPrograms(const TIpAddress& LocalAddr);
  // Told, on the look-up thread, when programs have answers for TakeAnswers.
  void SetAnswered(std::function<void()> Answered);

  // Inside the notification, while the capture thread waits: takes every
  // queued record into programs and ports, then addresses (the listener hears of the
  // address rows that changed), and copies the counters with Kernel's.
  void Take(const TCaptureStats& Kernel, TAddrTotalsListener* Changes = nullptr);
  // Takes the look-ups' answers; true when program rows changed. The window
  // does so when it draws, the headless run after each take.
  bool TakeAnswers();
  // Waits, at most a second, for the look-ups asked for: at a capture's end.
  void FlushPrograms();

  // Host names of the remote addresses, from now on (Resolver: the system's
  // when none), or no more. New rows are looked up as they come; the answers
  // outlive a restart.
  void StartNames(std::shared_ptr<TNameResolver> Resolver = nullptr);
  void StopNames();
  bool NamesOn() const;
  // Any thread: the name of Addr, looked up when not known; "" meanwhile,
  // when it has none or names are off.
  std::string HostName(const TIpAddress& Addr) const;
  // Told, on a look-up thread, when a name has come.
  void SetNamesAnswered(std::function<void()> Answered);
  // Waits, at most Timeout, for the names asked for.
  void FlushNames(std::chrono::milliseconds Timeout) const;

  // Any thread: a copy of the figures as the last Take left them.
  TFiguresSnapshot Snapshot(bool WithAddresses) const;
  std::size_t AddressCount() const;

  // The consuming thread only (the one that calls Take), between takes.
  const TAddrTotalsTable& Addresses() const noexcept { return Table; }
  // Null when records are not put down to programs.
  const TProgramTotalsTable* Programs() const noexcept { return Attribution ? &Attribution->Table() : nullptr; }
  const TPortTotalsTable& Ports() const noexcept { return PortTable; }

 private:
  TIPMonitor IPMonitor;
  mutable std::mutex Mutex;
  TFiguresSnapshot Current;  // without addresses and programs
  TAddrTotalsTable Table;
  TPortTotalsTable PortTable;
  std::unique_ptr<TAddrHeavyHitters> Summary;
  int SummaryTop = 0;
  std::unique_ptr<TProgramAttribution> Attribution;
  std::function<void()> Answered;
  // Its own lock: a view asks for names while a take holds Mutex.
  mutable std::mutex NamesMutex;
  std::shared_ptr<THostNames> Names;
  std::function<void()> NamesAnswered;
  std::shared_ptr<THostNames> CurrentNames() const;
};
