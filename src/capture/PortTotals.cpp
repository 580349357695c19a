#include "capture/PortTotals.h"

#include <algorithm>
#include <tuple>


bool InPortOrder(const PortTotals& a, const PortTotals& b) {
  return std::make_tuple(a.Protocol == 0, a.Port, a.Protocol) < std::make_tuple(b.Protocol == 0, b.Port, b.Protocol);
}

std::uint16_t ServicePort(const TServiceNames& names, std::uint8_t protocol, std::uint16_t local, std::uint16_t remote) {
  const bool localListed = names.Listed(protocol, local), remoteListed = names.Listed(protocol, remote);
  if (localListed != remoteListed) return localListed ? local : remote;
  return std::min(local, remote);
}

std::string_view TransportName(std::uint8_t protocol) { return protocol == 6 ? "tcp" : protocol == 17 ? "udp" : ""; }

std::string PortText(const PortTotals& row) {
  if (row.Protocol == 0) return std::string(OtherPorts);
  return std::to_string(row.Port) + "/" + std::string(TransportName(row.Protocol));
}

void TPortTotalsTable::Fold(const PacketRecord& record) {
  if (record.Protocol != 6 && record.Protocol != 17) return;
  const std::uint16_t port = ServicePort(*Names, record.Protocol, record.LocalPort, record.RemotePort);
  const std::uint32_t key = static_cast<std::uint32_t>(record.Protocol) << 16 | port;
  auto found = Index.find(key);
  if (found == Index.end()) {
    // The last free row is kept for all that come after.
    const bool full = Rows.size() + 1 >= Limit;
    const std::uint32_t otherKey = 0;
    found = Index.find(full ? otherKey : key);
    if (found == Index.end()) {
      PortTotals row;
      if (!full) {
        row.Protocol = record.Protocol;
        row.Port = port;
        row.Service = Names->Name(record.Protocol, port);
      }
      Rows.push_back(std::move(row));
      found = Index.emplace(full ? otherKey : key, static_cast<std::uint32_t>(Rows.size() - 1)).first;
    }
  }
  PortTotals& row = Rows[found->second];
  (record.Direction == DirectionSent ? row.SentBytes : row.RecvBytes) += record.Length;
}

void TPortTotalsTable::FoldQueue(const TXIoctl& state) {
  if (state.QueueBusy.load(std::memory_order_acquire) != 0) return;
  for (const PacketRecord& record : state.RecordQueue) Fold(record);
}

void TPortTotalsTable::Clear() {
  Rows.clear();
  Index.clear();
  Order.clear();
}

void TPortTotalsTable::Settle() const {
  // Rows are few and new ones rare: each goes in at its place.
  for (auto id = static_cast<std::uint32_t>(Order.size()); id < Rows.size(); ++id)
    Order.insert(std::lower_bound(Order.begin(), Order.end(), id,
                                  [this](std::uint32_t a, std::uint32_t b) { return InPortOrder(Rows[a], Rows[b]); }),
                 id);
}

const PortTotals& TPortTotalsTable::Row(int index) const {
  Settle();
  return Rows[Order.at(static_cast<std::size_t>(index))];
}

std::vector<PortTotals> TPortTotalsTable::AllRows() const {
  Settle();
  std::vector<PortTotals> rows;
  rows.reserve(Order.size());
  for (const std::uint32_t id : Order) rows.push_back(Rows[id]);
  return rows;
}

std::vector<PortTotals> TopPorts(std::vector<PortTotals> rows, int top) {
  std::stable_sort(rows.begin(), rows.end(), [](const PortTotals& a, const PortTotals& b) {
    return a.SentBytes + a.RecvBytes > b.SentBytes + b.RecvBytes;
  });
  if (top >= 0 && rows.size() > static_cast<std::size_t>(top)) rows.resize(static_cast<std::size_t>(top));
  return rows;
}
