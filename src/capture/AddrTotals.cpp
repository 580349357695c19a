#include "capture/AddrTotals.h"

#include <platform/Sockets.h>
#include <platform/Time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "support/DateTimeText.h"

namespace {

constexpr std::size_t CountBits = std::size_t{1} << 20;

// A bijective mix, so that neighbouring addresses land far apart.
std::uint32_t Mix(std::uint32_t x) noexcept {
  x ^= x >> 16;
  x *= 0x85ebca6bu;
  x ^= x >> 13;
  x *= 0xc2b2ae35u;
  x ^= x >> 16;
  return x;
}

}  // namespace

bool RecordQueueHandedOver(const TXIoctl& State) {
  // A drain that finds a push in progress leaves the records for the next
  // notification, which folds them: nothing is wrong.
  return State.QueueBusy.load(std::memory_order_acquire) == 0;
}

void TAddrCount::Add(const TIpAddress& addr) {
  if (Bits.empty()) Bits.assign(CountBits / 64, 0);
  const std::uint32_t bit = (addr.IsV6() ? static_cast<std::uint32_t>(addr.Hash() >> 32) : Mix(addr.Raw4())) >> 12;
  std::uint64_t& word = Bits[bit / 64];
  const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
  if (word & mask) return;
  word |= mask;
  ++Set;
}

std::int64_t TAddrCount::Count() const noexcept {
  // Linear counting: n = -m ln(free / m), which is Set itself while no two
  // addresses met in one bit.
  if (Set == 0) return 0;
  const double m = static_cast<double>(CountBits);
  const double free = static_cast<double>(std::max<std::size_t>(CountBits - Set, 1));
  return std::llround(-m * std::log(free / m));
}

void TAddrCount::Clear() noexcept {
  Bits.clear();
  Bits.shrink_to_fit();
  Set = 0;
}

int TAddrTotalsTable::Compare(const AddrTotals& a, const AddrTotals& b) noexcept {
  return a.Addr < b.Addr ? -1 : (a.Addr == b.Addr ? 0 : 1);
}

std::int64_t TAddrTotalsTable::Add(const PacketRecord& Record) {
  const std::int32_t time = Record.Hour * 10000 + Record.Minute * 100 + Record.Second;
  std::int64_t at = LastRow;
  if (at < 0 || Record.RemoteAddr != LastAddr) {
    const auto found = Index.find(Record.RemoteAddr);
    at = found == Index.end() ? -1 : static_cast<std::int64_t>(found->second);
  }
  if (at < 0) {
    if (Rows.size() >= Limit) {
      NotListed.Add(Record.RemoteAddr);
      return -1;
    }
    AddrTotals totals;
    totals.Addr = Record.RemoteAddr;
    totals.LastCategory = Record.Category;
    (Record.Direction == DirectionSent ? totals.SentBytes : totals.RecvBytes) = Record.Length;
    totals.LastTime = time;
    totals.LastUnixSeconds = Record.UnixSeconds;
    Index.emplace(Record.RemoteAddr, static_cast<std::uint32_t>(Rows.size()));
    Rows.push_back(totals);
    InChanged.push_back(0);
    LastAddr = Record.RemoteAddr;
    LastRow = static_cast<std::int64_t>(Rows.size() - 1);
    return LastRow;
  }
  AddrTotals& row = Rows[static_cast<std::size_t>(at)];
  row.LastCategory = Record.Category;
  (Record.Direction == DirectionSent ? row.SentBytes : row.RecvBytes) += Record.Length;
  row.LastTime = time;
  row.LastUnixSeconds = Record.UnixSeconds;
  LastAddr = Record.RemoteAddr;
  LastRow = at;
  return at;
}

void TAddrTotalsTable::Settle(TAddrTotalsListener* Listener) const {
  const std::size_t old = Order.size(), total = Rows.size();
  if (old == total) return;
  const auto before = [this](std::uint32_t a, std::uint32_t b) { return Rows[a].Addr < Rows[b].Addr; };
  std::vector<std::uint32_t> fresh(total - old);
  for (std::size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<std::uint32_t>(old + i);
  std::sort(fresh.begin(), fresh.end(), before);
  // Merged from the back, so the new rows' places come out last first.
  Order.resize(total);
  std::vector<int> places(Listener ? fresh.size() : 0);
  std::size_t from = old, next = fresh.size(), to = total;
  while (next > 0) {
    --to;
    if (from > 0 && before(fresh[next - 1], Order[from - 1])) {
      Order[to] = Order[--from];
    } else {
      Order[to] = fresh[--next];
      if (Listener) places[next] = static_cast<int>(to);
    }
  }
  if (places.size() >= TAddrTotalsListener::ManyRows && Listener->BeginRefill()) {
    Listener->EndRefill();
    return;
  }
  // In ascending order each place is already right when it is announced.
  for (const int place : places) {
    Listener->RowAboutToBeInserted(place);
    Listener->RowInserted(place);
  }
}

void TAddrTotalsTable::Fold(const PacketRecord& Record, TAddrTotalsListener* Listener) {
  const std::size_t settled = Order.size();
  const std::int64_t row = Add(Record);
  if (!Listener || row < 0) return;
  Settle(Listener);
  if (static_cast<std::size_t>(row) < settled) Listener->RowChanged(Find(Record.RemoteAddr));
}

void TAddrTotalsTable::Drain(TXIoctl& State, TAddrTotalsListener* Listener) {
  const std::size_t settled = Order.size();
  DrainRecords(State, [&](const PacketRecord& record) {
    const std::int64_t row = Add(record);
    // Each changed row once, however many of its records came.
    if (Listener && row >= 0 && static_cast<std::size_t>(row) < settled && !InChanged[static_cast<std::size_t>(row)]) {
      InChanged[static_cast<std::size_t>(row)] = 1;
      Changed.push_back(static_cast<std::uint32_t>(row));
    }
  });
  if (!Listener) return;
  Settle(Listener);
  std::sort(Changed.begin(), Changed.end());
  for (const std::uint32_t row : Changed) InChanged[row] = 0;
  for (const std::uint32_t row : Changed) Listener->RowChanged(Find(Rows[row].Addr));
  Changed.clear();
}

void TAddrTotalsTable::Clear() {
  Rows.clear();
  Rows.shrink_to_fit();
  Index = {};
  Order.clear();
  Order.shrink_to_fit();
  Changed.clear();
  InChanged.clear();
  InChanged.shrink_to_fit();
  LastRow = -1;
  NotListed.Clear();
}

const AddrTotals& TAddrTotalsTable::Row(int index) const {
  Settle(nullptr);
  return Rows[Order.at(static_cast<std::size_t>(index))];
}

std::vector<AddrTotals> TAddrTotalsTable::AllRows() const {
  Settle(nullptr);
  std::vector<AddrTotals> rows;
  rows.reserve(Order.size());
  for (const std::uint32_t i : Order) rows.push_back(Rows[i]);
  return rows;
}

int TAddrTotalsTable::Find(const TIpAddress& Addr) const {
  if (!Index.count(Addr)) return -1;
  Settle(nullptr);
  const auto it = std::lower_bound(Order.begin(), Order.end(), Addr,
                                   [this](std::uint32_t row, const TIpAddress& key) { return Rows[row].Addr < key; });
  return static_cast<int>(it - Order.begin());
}

std::string TAddrTotalsTable::AddressText(const TIpAddress& Addr) { return Addr.Text(); }

std::string TAddrTotalsTable::TimeText(const AddrTotals& Totals) { return FormatByMask("99:99:99", Totals.LastTime); }

std::string TAddrTotalsTable::DateTimeText(const AddrTotals& Totals) {
  const auto seconds = static_cast<std::time_t>(Totals.LastUnixSeconds);
  std::tm local{};
  if (!LocalCalendar(seconds, local)) return {};
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) return {};
  const long offset = UtcOffsetSeconds(seconds, local);
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[48];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return std::string(text) + zone;
}
