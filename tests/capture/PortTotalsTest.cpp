#include "capture/PortTotals.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// Records of each kind of port pair, through a table of six rows and a list written as services files are: the
// rows name the service port and its service, and ports beyond the rows count as "(other)".
TEST(PortTotalsTest, EachDatagramCountsForItsServicePortAndPortsBeyondTheRowsForOther) {
  std::istringstream file("https\t443/tcp\t# HTTP over TLS\nhttps 443/udp\ndomain 53/udp dns\n# alt 8080/tcp\n"
                          "big 70000/tcp\nnoport 9\nwww 80/tcp http\nhttp 80/tcp\nsctpish 99/sctp\n");
  const TServiceNames names(file);
  TPortTotalsTable table(6, names);
  // Protocol, local port, remote port, direction; each of 10 bytes. The listed side, whichever it is; both listed:
  // the smaller; 53 is listed for UDP only; the first entry of a port names it; neither (70000 is no port); no ports,
  // no row; beyond the rows (99 is listed for SCTP only).
  const std::tuple<std::uint8_t, std::uint16_t, std::uint16_t, std::uint8_t> records[] = {
      {6, 50000, 443, 0}, {6, 443, 50001, 1}, {17, 53, 443, 0}, {6, 53, 9000, 1}, {6, 1024, 80, 0},
      {6, 4464, 1024, 0}, {1, 0, 0, 0},       {17, 99, 5000, 1}, {17, 7000, 7001, 1}};
  for (const auto& [protocol, local, remote, direction] : records)
    table.Fold({.RemoteAddr = {}, .Direction = direction, .Category = 0, .Length = 10, .Protocol = protocol,
                .LocalPort = local, .RemotePort = remote});
  std::vector<std::string> rows;
  for (const PortTotals& row : table.AllRows())
    rows.push_back(PortText(row) + " " + row.Service + " " + std::to_string(row.SentBytes) + "/" + std::to_string(row.RecvBytes));
  EXPECT_EQ(rows, (std::vector<std::string>{"53/tcp  0/10", "53/udp domain 10/0", "80/tcp www 10/0", "443/tcp https 10/10",
                                            "1024/tcp  10/0", "(other)  0/20"}));
}

}  // namespace
