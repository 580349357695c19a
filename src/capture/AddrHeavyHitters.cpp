#include "capture/AddrHeavyHitters.h"

#include <algorithm>

TAddrHeavyHitters::TAddrHeavyHitters(std::size_t capacity) : Capacity(capacity) {
  Heap.reserve(Capacity);
  Where.reserve(Capacity);
}

void TAddrHeavyHitters::Place(std::size_t at) { Where[Heap[at].Totals.Addr] = static_cast<std::uint32_t>(at); }

void TAddrHeavyHitters::SiftDown(std::size_t at) {
  const std::size_t n = Heap.size();
  while (true) {
    std::size_t least = at;
    for (const std::size_t child : {2 * at + 1, 2 * at + 2})
      if (child < n && Heap[child].Count < Heap[least].Count) least = child;
    if (least == at) return;
    std::swap(Heap[at], Heap[least]);
    Place(at);
    Place(least);
    at = least;
  }
}

void TAddrHeavyHitters::Fold(const PacketRecord& record) {
  Seen.Add(record.RemoteAddr);
  if (Capacity == 0) return;
  const std::int32_t time = record.Hour * 10000 + record.Minute * 100 + record.Second;
  const auto found = Where.find(record.RemoteAddr);
  std::size_t at = 0;
  if (found != Where.end()) {
    at = found->second;
  } else if (Heap.size() < Capacity) {
    // Counts only grow, so a new entry with the fewest bytes so far goes in
    // as a leaf and sifts down from the top like any other.
    TEntry entry;
    entry.Totals.Addr = record.RemoteAddr;
    Heap.push_back(entry);
    at = Heap.size() - 1;
    // Keep the heap order: the new entry (count 0) belongs on top.
    while (at > 0) {
      const std::size_t parent = (at - 1) / 2;
      std::swap(Heap[at], Heap[parent]);
      Place(at);
      at = parent;
    }
    Place(0);
  } else {
    // The entry with the fewest bytes gives its place to the new address.
    TEntry& least = Heap[0];
    Where.erase(least.Totals.Addr);
    const std::int64_t floor = least.Count;
    least = TEntry{};
    least.Totals.Addr = record.RemoteAddr;
    least.Count = floor;
    Place(0);
  }
  TEntry& entry = Heap[at];
  entry.Totals.LastCategory = record.Category;
  (record.Direction == DirectionSent ? entry.Totals.SentBytes : entry.Totals.RecvBytes) += record.Length;
  entry.Totals.LastTime = time;
  entry.Totals.LastUnixSeconds = record.UnixSeconds;
  entry.Count += std::max<std::int64_t>(record.Length, 0);
  SiftDown(at);
}

std::vector<AddrTotals> TAddrHeavyHitters::Top(int k) const {
  std::vector<const TEntry*> order;
  order.reserve(Heap.size());
  for (const auto& entry : Heap) order.push_back(&entry);
  const auto limit = std::min(order.size(), static_cast<std::size_t>(std::max(k, 0)));
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(limit), order.end(),
                    [](const TEntry* a, const TEntry* b) {
                      if (a->Count != b->Count) return a->Count > b->Count;
                      return TAddrTotalsTable::Compare(a->Totals, b->Totals) < 0;
                    });
  std::vector<AddrTotals> rows;
  rows.reserve(limit);
  for (std::size_t i = 0; i < limit; ++i) rows.push_back(order[i]->Totals);
  std::sort(rows.begin(), rows.end(),
            [](const AddrTotals& a, const AddrTotals& b) { return TAddrTotalsTable::Compare(a, b) < 0; });
  return rows;
}
