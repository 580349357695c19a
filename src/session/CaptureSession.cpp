#include "session/CaptureSession.h"

#include <algorithm>

TCaptureSession::TCaptureSession() = default;

TCaptureSession::~TCaptureSession() {
  // The capture thread may be in a notification that takes into this session.
  if (IPMonitor.Thread) IPMonitor.CaptureEnd();
}

void TCaptureSession::ListAddresses(std::size_t rows) {
  std::lock_guard lock(Mutex);
  Table = TAddrTotalsTable(rows);
  Summary.reset();
  SummaryTop = 0;
}

void TCaptureSession::UseSummary(int top) {
  std::lock_guard lock(Mutex);
  SummaryTop = top;
  // Room for many more than the top, so that they are exact unless the
  // traffic is spread almost evenly over a great many addresses.
  Summary = std::make_unique<TAddrHeavyHitters>(top > 0 ? std::max<std::size_t>(8 * static_cast<std::size_t>(top), 256)
                                                        : 0);
}

void TCaptureSession::Restart(bool programs, const TIpAddress& localAddr) {
  std::unique_ptr<TProgramAttribution> old;
  {
    std::lock_guard lock(Mutex);
    Current = {};
    Table.Clear();
    PortTable.Clear();
    if (Summary) Summary = std::make_unique<TAddrHeavyHitters>(std::max<std::size_t>(8 * static_cast<std::size_t>(SummaryTop), 256));
    old = std::move(Attribution);
  }
  // Its look-up thread is joined outside the lock.
  old.reset();
  if (programs) StartPrograms(localAddr);
}

void TCaptureSession::StartPrograms(const TIpAddress& localAddr) {
  auto attribution = std::make_unique<TProgramAttribution>(localAddr);
  std::lock_guard lock(Mutex);
  if (Answered) attribution->SetAnswered(Answered);
  Attribution = std::move(attribution);
}

void TCaptureSession::SetAnswered(std::function<void()> answered) {
  std::lock_guard lock(Mutex);
  Answered = std::move(answered);
  if (Attribution) Attribution->SetAnswered(Answered);
}

// The notification's thread, while the capture thread waits.
void TCaptureSession::Take(const TCaptureStats& kernel, TAddrTotalsListener* changes) {
  TXIoctl& state = State();
  std::lock_guard lock(Mutex);
  // Programs and ports read the queue in place; the address table's drain
  // empties it.
  if (Attribution) Attribution->FoldQueue(state);
  const int known = Table.RowCount();
  PortTable.FoldQueue(state);
  if (Summary)
    Summary->Drain(state);
  else
    Table.Drain(state, changes);
  // New addresses are looked up at once, so a report has their names.
  if (const auto names = CurrentNames())
    for (int row = known; row < Table.RowCount(); ++row) names->Name(Table.ArrivalRow(static_cast<std::size_t>(row)).Addr);
  Current.TotalPackets = state.TotalPackets;
  Current.TotalBytes = state.TotalBytes;
  Current.Counters = state.Counters;
  Current.Kernel = kernel;
}

bool TCaptureSession::TakeAnswers() {
  std::lock_guard lock(Mutex);
  return Attribution && Attribution->Apply();
}

void TCaptureSession::FlushPrograms() {
  std::lock_guard lock(Mutex);
  if (Attribution) Attribution->Flush(std::chrono::seconds(1));
}

TFiguresSnapshot TCaptureSession::Snapshot(bool withAddresses) const {
  std::lock_guard lock(Mutex);
  TFiguresSnapshot copy = Current;
  copy.RemoteAddresses = Summary ? Summary->Distinct() : Table.RowCount() + Table.Unlisted();
  if (withAddresses) copy.Addresses = Summary ? Summary->Top(SummaryTop) : Table.AllRows();
  if (const auto names = CurrentNames(); names && withAddresses) {
    copy.AddressNames.reserve(copy.Addresses.size());
    for (const AddrTotals& row : copy.Addresses) copy.AddressNames.push_back(names->Name(row.Addr));
  }
  copy.Ports = PortTable.AllRows();
  if (Attribution) {
    Attribution->Apply();
    copy.HasPrograms = true;
    copy.Programs = Attribution->Table().AllRows();
  }
  return copy;
}

std::size_t TCaptureSession::AddressCount() const {
  std::lock_guard lock(Mutex);
  return static_cast<std::size_t>(Summary ? Summary->Distinct() : Table.RowCount());
}

std::shared_ptr<THostNames> TCaptureSession::CurrentNames() const {
  std::lock_guard lock(NamesMutex);
  return Names;
}

void TCaptureSession::StartNames(std::shared_ptr<TNameResolver> resolver) {
  auto names = std::make_shared<THostNames>(resolver ? std::move(resolver) : MakeSystemResolver());
  std::lock_guard lock(NamesMutex);
  if (NamesAnswered) names->SetAnswered(NamesAnswered);
  Names = std::move(names);
}

void TCaptureSession::StopNames() {
  std::shared_ptr<THostNames> old;
  std::lock_guard lock(NamesMutex);
  old.swap(Names);
}

bool TCaptureSession::NamesOn() const { return CurrentNames() != nullptr; }

std::string TCaptureSession::HostName(const TIpAddress& addr) const {
  const auto names = CurrentNames();
  return names ? names->Name(addr) : std::string();
}

void TCaptureSession::SetNamesAnswered(std::function<void()> answered) {
  std::lock_guard lock(NamesMutex);
  NamesAnswered = std::move(answered);
  if (Names) Names->SetAnswered(NamesAnswered);
}

void TCaptureSession::FlushNames(std::chrono::milliseconds timeout) const {
  if (const auto names = CurrentNames()) names->Flush(timeout);
}
