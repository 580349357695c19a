#pragma once
// Traffic per program on this host, folded from the capture's packet records.
// Which program a record belongs to is looked up on a worker thread of its
// own; the thread that folds only asks a cache, so neither the capture thread
// nor the window ever waits for the kernel or /proc.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "capture/SocketOwners.h"
#include "capture/XIoctlUnit.h"

inline constexpr std::string_view KernelOtherProgram = "(kernel / other)";
inline constexpr std::string_view UnknownProgram = "(unknown)";

struct ProgramTotals {
  std::string Program;  // comm, "user NAME", KernelOtherProgram or UnknownProgram
  std::string User;     // empty for the last two
  std::int64_t SentBytes = 0;
  std::int64_t RecvBytes = 0;
  std::uint8_t LastCategory = 0;
  std::int32_t LastTime = 0;         // hour * 10000 + minute * 100 + second
  std::int64_t LastUnixSeconds = 0;  // the same moment since the epoch
  // The service unit or scope its sockets were last seen made in; empty when
  // not known.
  std::string Unit;
};

// Rows in arrival order behind a hash index, listed by program, user and unit.
// Beyond Capacity rows, new programs are counted in one row "(other)"; each
// row remembers up to RemotesPerRow remote addresses.
class TProgramTotalsTable {
 public:
  static constexpr std::size_t RemotesPerRow = 4096;
  explicit TProgramTotalsTable(std::size_t Capacity = 1000) : Limit(Capacity) {}

  // The row of a program and user (and Unit, where the unit names the
  // traffic), made when it is new.
  std::uint32_t RowOf(const std::string& Program, const std::string& User, const std::string& Unit = {});
  // Notes the unit a row's socket was made in; "(other)" keeps none, as its
  // rows are of many.
  void SeenIn(std::uint32_t Id, const std::string& Unit);
  // Adds bytes to a row as Record would (its direction, category and time),
  // and its remote address unless the row has it already (KnownRemote).
  void Add(std::uint32_t Id, const PacketRecord& Record, std::int64_t Sent, std::int64_t Received,
           bool KnownRemote = false);
  void Clear();

  int RowCount() const noexcept { return static_cast<int>(Rows.size()); }
  // Rows ordered by program, then user, then unit.
  const ProgramTotals& Row(int Index) const;
  std::vector<ProgramTotals> AllRows() const;
  // The remote addresses (network byte order) the program at Index
  // exchanged datagrams with; it stays valid, and up to date, until Clear.
  const std::unordered_set<TIpAddress, TIpAddressHash>& RemotesOf(int Index) const;
  // The bytes the program at Index exchanged with each of those addresses;
  // valid, and up to date, until Clear.
  struct TShare {
    std::int64_t SentBytes = 0;
    std::int64_t RecvBytes = 0;
  };
  using TShares = std::unordered_map<TIpAddress, TShare, TIpAddressHash>;
  const TShares& SharesOf(int Index) const;

 private:
  void Settle() const;
  std::deque<TShares> Shares;  // as Rows

  std::size_t Limit;
  std::vector<ProgramTotals> Rows;
  std::deque<std::unordered_set<TIpAddress, TIpAddressHash>> Remotes;  // as Rows
  std::unordered_map<std::string, std::uint32_t> Index;     // program '\n' user '\n' unit -> Rows
  mutable std::vector<std::uint32_t> Order;
};

// The Top rows with the most bytes, most first; equal ones keep their order.
std::vector<ProgramTotals> TopPrograms(std::vector<ProgramTotals> Rows, int Top);

// The rows of one program and user summed into one (the first row's other
// fields kept), in the order of Rows.
std::vector<ProgramTotals> ByProgram(const std::vector<ProgramTotals>& Rows);

// Bytes per unit summed over Rows, rows of no known unit left out: Program
// holds the unit, User is empty; the Top with the most bytes, most first.
std::vector<ProgramTotals> TopUnits(const std::vector<ProgramTotals>& Rows, int Top);

// How often the look-up thread asks: while keys wait, as soon as the last
// round allows (after nine times what it took, so that look-ups take at most
// a tenth of the thread's time, and never sooner than QuickPause), and at
// the latest after a Pause; once an ExpiryPause to find cached sockets that
// have closed. A short-lived socket is then found before it closes.
struct TLookupPace {
  std::chrono::milliseconds Pause{100};
  std::chrono::milliseconds ExpiryPause{1000};
  std::chrono::milliseconds QuickPause{2};
};

// Records to programs. Fold and Apply run on one consuming thread at a time
// (the one that takes the session's records).
class TProgramAttribution {
 public:
  // LocalAddr: the watched address; the owners are this
  // host's.
  explicit TProgramAttribution(const TIpAddress& LocalAddr);
  // The owners as Owners finds them, used only on the look-up thread.
  TProgramAttribution(std::unique_ptr<TOwnerLookup> Owners, TLookupPace Pace);
  ~TProgramAttribution();
  TProgramAttribution(const TProgramAttribution&) = delete;
  TProgramAttribution& operator=(const TProgramAttribution&) = delete;

  // Told, on the worker thread, when answers are waiting for Apply.
  void SetAnswered(std::function<void()> Answered);
  // Folds every record waiting in State's queue without taking them out (the
  // address table's drain does that after), unless a push is in progress.
  void FoldQueue(const TXIoctl& State);
  void Fold(const PacketRecord& Record);
  // Takes the worker's answers: parked bytes go to their programs. True when
  // rows changed.
  bool Apply();
  // Waits, at most Timeout, until every key asked about is answered; then
  // Apply. For the end of a capture.
  void Flush(std::chrono::milliseconds Timeout);

  const TProgramTotalsTable& Table() const noexcept { return Totals; }
  // Parked records waiting for an answer.
  std::size_t Parked() const noexcept { return Waiting.size(); }

  static constexpr std::size_t MaxKeys = 65536;  // cached or parked

 private:
  struct TParked {
    std::int64_t Sent = 0, Received = 0;
    PacketRecord Last;
  };
  void Run();
  void Work();

  TProgramTotalsTable Totals;
  std::uint32_t KernelRow();
  std::uint32_t UnknownRow();
  static constexpr std::uint32_t NoRow = UINT32_MAX;
  std::uint32_t Kernel = NoRow, Unknown = NoRow;
  std::unordered_map<TSocketKey, std::uint32_t, TSocketKeyHash> Cache;  // key -> row
  std::unordered_map<TSocketKey, TParked, TSocketKeyHash> Waiting;

  // Shared with the worker, under Mutex.
  std::mutex Mutex;
  std::condition_variable Wake, Done;
  std::vector<TSocketKey> Asked;
  std::vector<std::pair<TSocketKey, TSocketOwner>> Answers;
  std::vector<TSocketKey> Expired;
  bool Busy = false;
  bool Broken = false;  // the look-ups stopped after a fault
  bool Stopping = false;
  std::function<void()> Answered;
  std::unique_ptr<TOwnerLookup> Owners;
  TLookupPace Pace;
  std::thread Worker;
};
