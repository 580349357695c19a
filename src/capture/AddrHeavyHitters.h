#pragma once
// The remote addresses with the most bytes, kept in fixed space whatever the
// traffic (the Space-Saving summary): at most Capacity entries; a new address
// takes the place of the entry with the fewest bytes and inherits that count
// as its possible error. While no more than Capacity addresses were seen,
// every figure is exact, and so is the top of the summary for as long as the
// busiest addresses stand out from the rest.
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "capture/AddrTotals.h"

class TAddrHeavyHitters {
 public:
  explicit TAddrHeavyHitters(std::size_t Capacity);

  void Fold(const PacketRecord& Record);
  void Drain(TXIoctl& State) {
    DrainRecords(State, [this](const PacketRecord& record) { Fold(record); });
  }

  // The Top entries with the most bytes, in address order. Their sums are what
  // was seen while they held their entry (exact for an address never evicted).
  std::vector<AddrTotals> Top(int K) const;
  // Distinct remote addresses seen.
  std::int64_t Distinct() const noexcept { return Seen.Count(); }
  std::size_t Size() const noexcept { return Heap.size(); }

 private:
  struct TEntry {
    AddrTotals Totals;
    std::int64_t Count = 0;  // bytes, with those of the entries it replaced
  };
  void Place(std::size_t At);
  void SiftDown(std::size_t At);

  std::size_t Capacity;
  std::vector<TEntry> Heap;  // the fewest bytes on top
  std::unordered_map<TIpAddress, std::uint32_t, TIpAddressHash> Where;  // address -> Heap
  TAddrCount Seen;
};
