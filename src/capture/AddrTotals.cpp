#include "capture/AddrTotals.h"

#include <arpa/inet.h>

#include <algorithm>

#include "diagnostics/Assertion.h"
#include "support/DateTimeText.h"

namespace {

std::uint32_t Key(std::uint32_t addr) noexcept { return ntohl(addr); }

}  // namespace

int TAddrTotalsTable::Compare(const AddrTotals& a, const AddrTotals& b) noexcept {
  return Key(a.Addr) < Key(b.Addr) ? -1 : (Key(a.Addr) == Key(b.Addr) ? 0 : 1);
}

int TAddrTotalsTable::Find(std::uint32_t Addr) const noexcept {
  const auto it = std::lower_bound(Rows.begin(), Rows.end(), Key(Addr),
                                   [](const AddrTotals& row, std::uint32_t key) { return Key(row.Addr) < key; });
  if (it == Rows.end() || it->Addr != Addr) return -1;
  return static_cast<int>(it - Rows.begin());
}

void TAddrTotalsTable::Fold(const PacketRecord& Record, TAddrTotalsListener* Listener) {
  const std::int32_t time = Record.Hour * 10000 + Record.Minute * 100 + Record.Second;
  const auto it = std::lower_bound(Rows.begin(), Rows.end(), Key(Record.RemoteAddr),
                                   [](const AddrTotals& row, std::uint32_t key) { return Key(row.Addr) < key; });
  const int row = static_cast<int>(it - Rows.begin());
  if (it == Rows.end() || it->Addr != Record.RemoteAddr) {
    AddrTotals totals;
    totals.Addr = Record.RemoteAddr;
    totals.LastCategory = Record.Category;
    (Record.Direction == DirectionSent ? totals.SentBytes : totals.RecvBytes) = Record.Length;
    totals.LastTime = time;
    if (Listener) Listener->RowAboutToBeInserted(row);
    Rows.insert(it, totals);
    if (Listener) Listener->RowInserted(row);
    return;
  }
  it->LastCategory = Record.Category;
  (Record.Direction == DirectionSent ? it->SentBytes : it->RecvBytes) += Record.Length;
  it->LastTime = time;
  if (Listener) Listener->RowChanged(row);
}

void TAddrTotalsTable::Drain(TXIoctl& State, TAddrTotalsListener* Listener) {
  // The queue is handed over while the capture thread waits for the window,
  // never in the middle of a push.
  const bool busy = State.QueueBusy.load(std::memory_order_acquire) != 0;
  WIREPEEK_ASSERT(!busy, "record queue drained during a push");
  if (busy) return;
  const std::size_t n = State.RecordQueue.size();
  for (std::size_t i = 0; i < n; ++i) {
    const PacketRecord record = State.RecordQueue.front();
    State.RecordQueue.pop_front();
    Fold(record, Listener);
  }
}

std::string TAddrTotalsTable::AddressText(std::uint32_t Addr) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = Addr;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::string TAddrTotalsTable::TimeText(const AddrTotals& Totals) { return FormatByMask("99:99:99", Totals.LastTime); }
