#include "capture/PortTotals.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// A list as a services file writes it, with what such files also hold.
TServiceNames SmallServiceList() {
  std::istringstream file(
      "https\t\t443/tcp\t\t# HTTP over TLS\nhttps 443/udp\ndomain 53/udp dns\n# alt 8080/tcp\nbig 70000/tcp\n"
      "noproto 9\nwww 80/tcp http\nhttp 80/tcp\nsctpish 99/sctp\n");
  return TServiceNames(file);
}

TEST(PortTotalsTest, TheServicePortIsTheListedSideElseTheSmallerOne) {
  const TServiceNames names = SmallServiceList();
  struct TCase {
    std::uint8_t Protocol;
    std::uint16_t Local, Remote, Port;
    const char* Service;
  };
  const TCase cases[] = {
      {6, 50000, 443, 443, "https"}, {6, 443, 50000, 443, "https"},  // either side
      {17, 443, 53, 53, "domain"},                                     // both listed
      {6, 53, 443, 443, "https"},                                      // 53 is listed for UDP only
      {6, 9000, 8080, 8080, ""},     {6, 4000, 70000 % 65536, 4000, ""}, {17, 99, 5000, 99, ""},  // neither
      {6, 1024, 80, 80, "www"},                                        // the first entry of a port names it
  };
  for (const TCase& c : cases) {
    const std::uint16_t port = ServicePort(names, c.Protocol, c.Local, c.Remote);
    EXPECT_EQ(port, c.Port) << c.Local << " " << c.Remote;
    EXPECT_EQ(names.Name(c.Protocol, port), c.Service) << port;
  }
}

TEST(PortTotalsTest, PortsBeyondTheRowsAreCountedAsOtherAndRowsGoInPortOrder) {
  const TServiceNames names = SmallServiceList();
  TPortTotalsTable table(3, names);
  // protocol, local port, remote port, direction, length
  const std::tuple<std::uint8_t, std::uint16_t, std::uint16_t, std::uint8_t, int> records[] = {
      {6, 50000, 443, 0, 100}, {17, 53, 40000, 1, 60}, {1, 0, 0, 0, 84}, {6, 443, 50001, 1, 40},
      {17, 7000, 7001, 0, 30}, {6, 9, 9999, 1, 20},    {17, 40000, 53, 0, 50}};
  for (const auto& [protocol, local, remote, direction, length] : records) {
    PacketRecord record;
    record.Protocol = protocol;
    record.LocalPort = local;
    record.RemotePort = remote;
    record.Direction = direction;
    record.Length = length;
    table.Fold(record);
  }
  std::vector<std::string> rows;
  for (const PortTotals& row : table.AllRows())
    rows.push_back(PortText(row) + " " + row.Service + " " + std::to_string(row.SentBytes) + " " + std::to_string(row.RecvBytes));
  EXPECT_EQ(rows, (std::vector<std::string>{"53/udp domain 50 60", "443/tcp https 100 40", "(other)  30 20"}));
}

}  // namespace
