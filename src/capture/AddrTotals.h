#pragma once
// Traffic per remote address, folded from the capture's packet records and
// kept in address order.
#include <cstdint>
#include <string>
#include <vector>

#include "capture/XIoctlUnit.h"

struct AddrTotals {
  std::uint32_t Addr = 0;  // network byte order
  std::uint8_t LastCategory = 0;
  std::int64_t SentBytes = 0;
  std::int64_t RecvBytes = 0;
  std::int32_t LastTime = 0;  // hour * 10000 + minute * 100 + second
};

// Told about each row the fold adds or changes, so a view can follow.
class TAddrTotalsListener {
 public:
  virtual ~TAddrTotalsListener() = default;
  // Before and after a new row goes in at Row.
  virtual void RowAboutToBeInserted(int /*Row*/) {}
  virtual void RowInserted(int Row) = 0;
  virtual void RowChanged(int Row) = 0;
};

class TAddrTotalsTable {
 public:
  // Folds every queued record into its row, oldest first, unless a push is in
  // progress (QueueBusy): then the records wait for the next drain.
  void Drain(TXIoctl& State, TAddrTotalsListener* Listener = nullptr);
  void Fold(const PacketRecord& Record, TAddrTotalsListener* Listener = nullptr);
  void Clear() { Rows.clear(); }

  int RowCount() const noexcept { return static_cast<int>(Rows.size()); }
  const AddrTotals& Row(int index) const { return Rows.at(static_cast<std::size_t>(index)); }
  const std::vector<AddrTotals>& AllRows() const noexcept { return Rows; }
  // The row of an address, or -1.
  int Find(std::uint32_t Addr) const noexcept;

  // Cell texts as the table shows them.
  static std::string AddressText(std::uint32_t Addr);
  static std::string TimeText(const AddrTotals& Totals);  // hh:mm:ss

  // The order of rows: the address read as a big-endian number.
  static int Compare(const AddrTotals& a, const AddrTotals& b) noexcept;

 private:
  std::vector<AddrTotals> Rows;
};
