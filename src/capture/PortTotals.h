#pragma once
// Traffic per transport and service port, folded from the capture's packet
// records, with each port's name from the system's service list.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/XIoctlUnit.h"
#include "catalogue/ServiceNames.h"

struct PortTotals {
  std::uint8_t Protocol = 0;  // 6 or 17; 0 for the row of the ports beyond the table
  std::uint16_t Port = 0;
  std::string Service;  // the list's name of the port, empty when it has none
  std::int64_t SentBytes = 0;
  std::int64_t RecvBytes = 0;
};

inline constexpr std::string_view OtherPorts = "(other)";

// The service port of a datagram: the side whose port is in the list; when
// both or neither are, the smaller port.
std::uint16_t ServicePort(const TServiceNames& Names, std::uint8_t Protocol, std::uint16_t LocalPort,
                          std::uint16_t RemotePort);

// True when A is listed before B: by port, then transport, "(other)" last.
bool InPortOrder(const PortTotals& A, const PortTotals& B);

// "443/tcp", or "(other)".
std::string PortText(const PortTotals& Row);
// "tcp", "udp", or empty for "(other)".
std::string_view TransportName(std::uint8_t Protocol);

// Rows behind a hash index, listed in port order.
// Beyond Capacity rows, new ports are counted in the one row "(other)".
// Datagrams of other protocols than TCP and UDP have no port and are left out.
class TPortTotalsTable {
 public:
  explicit TPortTotalsTable(std::size_t Capacity = 1000, const TServiceNames& List = SystemServiceNames())
      : Limit(Capacity), Names(&List) {}

  void Fold(const PacketRecord& Record);
  // Folds every record waiting in State's queue without taking them out (the
  // address table's drain does that after), unless a push is in progress.
  void FoldQueue(const TXIoctl& State);
  void Clear();

  int RowCount() const noexcept { return static_cast<int>(Rows.size()); }
  const PortTotals& Row(int Index) const;
  std::vector<PortTotals> AllRows() const;

 private:
  void Settle() const;
  std::size_t Limit;
  const TServiceNames* Names;
  std::vector<PortTotals> Rows;
  std::unordered_map<std::uint32_t, std::uint32_t> Index;  // protocol << 16 | port -> Rows
  mutable std::vector<std::uint32_t> Order;
};

// The Top rows with the most bytes, most first; equal ones keep their order.
std::vector<PortTotals> TopPorts(std::vector<PortTotals> Rows, int Top);
