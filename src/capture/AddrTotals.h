#pragma once
// Traffic per remote address, folded from the capture's packet records and
// shown in address order.
#include <cstdint>
#include <cstddef>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/XIoctlUnit.h"

struct AddrTotals {
  TIpAddress Addr;
  std::uint8_t LastCategory = 0;
  std::int64_t SentBytes = 0;
  std::int64_t RecvBytes = 0;
  std::int32_t LastTime = 0;  // hour * 10000 + minute * 100 + second
  std::int64_t LastUnixSeconds = 0;  // the same moment since the epoch
};

// Hands every queued record to Fold, oldest first, unless a push is in
// progress (QueueBusy): then the records wait for the next drain.
// False in the middle of a push.
bool RecordQueueHandedOver(const TXIoctl& State);
template <class TFold>
void DrainRecords(TXIoctl& State, TFold&& Fold) {
  if (!RecordQueueHandedOver(State)) return;
  auto& queue = State.RecordQueue;
  std::size_t done = 0;
  try {
    for (; done < queue.size(); ++done) Fold(queue[done]);
  } catch (...) {
    // The folded ones are not folded again.
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(done));
    throw;
  }
  queue.clear();
}

// Distinct addresses counted in fixed space: a bitmap of hashed addresses
// (128 KiB, taken at the first address). Exact as long as no two addresses
// share a bit, which is all but certain for a few hundred; an estimate within
// about one per cent up to some millions.
class TAddrCount {
 public:
  void Add(const TIpAddress& Addr);
  std::int64_t Count() const noexcept;
  void Clear() noexcept;

 private:
  std::vector<std::uint64_t> Bits;
  std::size_t Set = 0;
};

// Told about each row the fold adds or changes, so a view can follow.
class TAddrTotalsListener {
 public:
  virtual ~TAddrTotalsListener() = default;
  // Before and after a new row goes in at Row.
  virtual void RowAboutToBeInserted(int /*Row*/) {}
  virtual void RowInserted(int Row) = 0;
  virtual void RowChanged(int Row) = 0;
  // Many new rows at once: a listener that returns true takes them all
  // between these two calls instead of row by row (a view re-reads a table
  // once, where each row's insertion costs it the whole table).
  static constexpr std::size_t ManyRows = 64;
  virtual bool BeginRefill() { return false; }
  virtual void EndRefill() {}
};

// Rows are kept in arrival order behind a hash index, so a record costs O(1)
// however many rows there are; the address order is merged in when it is
// next needed (a drain's end, a view, a report). Beyond Capacity rows, new
// addresses are not listed, only counted.
class TAddrTotalsTable {
 public:
  static constexpr std::size_t NoLimit = std::numeric_limits<std::uint32_t>::max();
  explicit TAddrTotalsTable(std::size_t Capacity = NoLimit) : Limit(Capacity) {}

  // Folds every queued record (see DrainRecords); the listener hears of the
  // new rows, then of the changed ones, at their places once all are in.
  void Drain(TXIoctl& State, TAddrTotalsListener* Listener = nullptr);
  // One record; a listener hears of its row at once.
  void Fold(const PacketRecord& Record, TAddrTotalsListener* Listener = nullptr);
  void Clear();

  int RowCount() const noexcept { return static_cast<int>(Rows.size()); }
  // Rows in address order.
  const AddrTotals& Row(int index) const;
  std::vector<AddrTotals> AllRows() const;
  // Rows in the order their addresses came: those beyond an earlier
  // RowCount are the new ones.
  const AddrTotals& ArrivalRow(std::size_t index) const { return Rows.at(index); }
  // The row of an address, or -1.
  int Find(const TIpAddress& Addr) const;
  // Distinct addresses that found the table full.
  std::int64_t Unlisted() const noexcept { return NotListed.Count(); }
  std::size_t RowLimit() const noexcept { return Limit; }

  // Cell texts as the table shows them.
  static std::string AddressText(const TIpAddress& Addr);
  static std::string TimeText(const AddrTotals& Totals);  // hh:mm:ss
  // The same moment with its date and offset: 2026-01-05T09:05:03+09:00.
  static std::string DateTimeText(const AddrTotals& Totals);

  // The order of rows: IPv4 addresses read as big-endian numbers, then IPv6
  // ones the same way.
  static int Compare(const AddrTotals& a, const AddrTotals& b) noexcept;

 private:
  // The row the record went into, or -1 when it was not listed.
  std::int64_t Add(const PacketRecord& Record);
  // Merges the rows added since the last time into Order.
  void Settle(TAddrTotalsListener* Listener) const;

  std::size_t Limit;
  std::vector<AddrTotals> Rows;                           // arrival order
  std::unordered_map<TIpAddress, std::uint32_t, TIpAddressHash> Index;  // address -> Rows
  mutable std::vector<std::uint32_t> Order;                // Rows in address order
  std::vector<std::uint32_t> Changed;                      // rows a listener has yet to hear of
  std::vector<std::uint8_t> InChanged;                     // per row: already in Changed
  // The row of the last record's address: a flood from one peer skips the
  // hash lookup.
  TIpAddress LastAddr;
  std::int64_t LastRow = -1;
  TAddrCount NotListed;
};
