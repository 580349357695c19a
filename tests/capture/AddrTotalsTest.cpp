#include "capture/AddrTotals.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "capture/AddrHeavyHitters.h"
#include "common/Datagrams.h"
#include "support/Assertion.h"

namespace {

PacketRecord Record(const char* addr, std::uint8_t direction, std::int64_t length, std::uint8_t category,
                    std::uint16_t h, std::uint16_t m, std::uint16_t s, std::uint16_t ms = 0) {
  return {.RemoteAddr = Addr(addr), .Direction = direction, .Category = category, .Length = length,
          .Hour = h, .Minute = m, .Second = s, .Millisecond = ms};
}

struct TRecorder : TAddrTotalsListener {
  void RowInserted(int row) override { Events.push_back("insert " + std::to_string(row)); }
  void RowChanged(int row) override { Events.push_back("change " + std::to_string(row)); }
  std::vector<std::string> Events;
};

std::vector<std::string> Addresses(const TAddrTotalsTable& t) {
  std::vector<std::string> out;
  for (int i = 0; i < t.RowCount(); ++i) out.push_back(TAddrTotalsTable::AddressText(t.Row(i).Addr));
  return out;
}

TEST(AddrTotalsTest, FirstAndFollowingRecordsOfOneAddress) {
  TAddrTotalsTable table;
  table.Fold(Record("192.168.0.10", 1, 60, 3, 9, 5, 3, 250));
  ASSERT_EQ(table.RowCount(), 1);
  const AddrTotals& row = table.Row(0);
  EXPECT_EQ(TAddrTotalsTable::AddressText(row.Addr), "192.168.0.10");
  EXPECT_EQ(row.SentBytes, 0);
  EXPECT_EQ(row.RecvBytes, 60);
  EXPECT_EQ(ServiceCategoryNames[row.LastCategory], "DNS Client");
  EXPECT_EQ(TAddrTotalsTable::TimeText(row), "09:05:03");

  auto later = Record("192.168.0.10", 0, 40, 5, 9, 5, 4);
  later.UnixSeconds = 1767603904;  // 2026-01-05 09:05:04 UTC; the tests run in UTC
  table.Fold(later);
  ASSERT_EQ(table.RowCount(), 1);
  EXPECT_EQ(table.Row(0).SentBytes, 40);
  EXPECT_EQ(table.Row(0).RecvBytes, 60);
  EXPECT_EQ(ServiceCategoryNames[table.Row(0).LastCategory], "HTTP Client ");
  EXPECT_EQ(TAddrTotalsTable::TimeText(table.Row(0)), "09:05:04");
  EXPECT_EQ(TAddrTotalsTable::DateTimeText(table.Row(0)), "2026-01-05T09:05:04+00:00");
}

// Beyond its bound the table lists no new address but counts it, and its
// listed rows go on growing; a cleared table starts again.
TEST(AddrTotalsTest, BoundListsNoNewAddressButCountsIt) {
  TAddrTotalsTable table(2);
  for (const char* addr : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.3", "10.0.0.1"})
    table.Fold(Record(addr, 0, 10, 16, 0, 0, 0));
  EXPECT_EQ(Addresses(table), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(table.Row(0).SentBytes, 20);
  EXPECT_EQ(table.Unlisted(), 2);
  table.Clear();
  table.Fold(Record("10.0.0.4", 0, 10, 16, 0, 0, 0));
  EXPECT_EQ(Addresses(table), std::vector<std::string>{"10.0.0.4"});
  EXPECT_EQ(table.Unlisted(), 0);
}

TEST(AddrTotalsTest, RowsStayInNumericAddressOrder) {
  TAddrTotalsTable table;
  TRecorder recorder;
  table.Fold(Record("192.168.0.10", 1, 1, 16, 0, 0, 0), &recorder);
  table.Fold(Record("10.0.0.2", 1, 1, 16, 0, 0, 0), &recorder);
  table.Fold(Record("9.1.2.3", 1, 1, 16, 0, 0, 0), &recorder);
  table.Fold(Record("10.0.0.2", 0, 5, 16, 0, 0, 0), &recorder);
  table.Fold(Record("9.255.0.1", 0, 5, 16, 0, 0, 0), &recorder);
  EXPECT_EQ(Addresses(table),
            (std::vector<std::string>{"9.1.2.3", "9.255.0.1", "10.0.0.2", "192.168.0.10"}));
  EXPECT_EQ(recorder.Events,
            (std::vector<std::string>{"insert 0", "insert 0", "insert 0", "change 1", "insert 1"}));
  EXPECT_EQ(table.Find(Addr("10.0.0.2")), 2);
  EXPECT_EQ(table.Find(Addr("10.0.0.3")), -1);
}

TEST(AddrTotalsTest, DrainFoldsInQueueOrderUnlessAPushIsInProgress) {
  TXIoctl state;
  TAddrTotalsTable table;
  table.Drain(state);  // empty queue: nothing happens
  EXPECT_EQ(table.RowCount(), 0);

  state.RecordQueue.push_back(Record("10.0.0.9", 0, 100, 5, 1, 2, 3));
  state.RecordQueue.push_back(Record("10.0.0.9", 1, 50, 4, 1, 2, 4));
  // A drain in the middle of a push leaves the records for the next one,
  // without an assertion.
  std::vector<std::string> boxes;
  SetAssertBoxSink([&](const std::string& text, const std::string&) { boxes.push_back(text); });
  state.QueueBusy = 1;
  table.Drain(state);
  EXPECT_EQ(table.RowCount(), 0);
  EXPECT_EQ(state.RecordQueue.size(), 2u);

  state.QueueBusy = 0;
  table.Drain(state);
  EXPECT_TRUE(boxes.empty());
  SetAssertBoxSink(nullptr);
  EXPECT_TRUE(state.RecordQueue.empty());
  ASSERT_EQ(table.RowCount(), 1);
  EXPECT_EQ(table.Row(0).SentBytes, 100);
  EXPECT_EQ(table.Row(0).RecvBytes, 50);
  EXPECT_EQ(table.Row(0).LastCategory, 4);  // the later record wins
  EXPECT_EQ(TAddrTotalsTable::TimeText(table.Row(0)), "01:02:04");

  // One drain: new rows are announced at their final places, lowest first,
  // then the changed rows.
  TRecorder recorder;
  for (const char* addr : {"9.1.2.3", "10.0.0.9", "172.16.0.1", "9.1.2.3", "200.0.0.1"})
    state.RecordQueue.push_back(Record(addr, 0, 1, 16, 0, 0, 0));
  table.Drain(state, &recorder);
  EXPECT_EQ(Addresses(table), (std::vector<std::string>{"9.1.2.3", "10.0.0.9", "172.16.0.1", "200.0.0.1"}));
  EXPECT_EQ(recorder.Events, (std::vector<std::string>{"insert 0", "insert 2", "insert 3", "change 1"}));

  // A row changed by many records of a drain is announced once; a cleared
  // table remembers no row of before.
  recorder.Events.clear();
  for (const char* addr : {"200.0.0.1", "200.0.0.1", "9.1.2.3", "200.0.0.1"})
    state.RecordQueue.push_back(Record(addr, 1, 5, 16, 0, 0, 0));
  table.Drain(state, &recorder);
  EXPECT_EQ(recorder.Events, (std::vector<std::string>{"change 0", "change 3"}));
  EXPECT_EQ(table.Row(3).RecvBytes, 15);
  table.Clear();
  table.Fold(Record("200.0.0.1", 0, 7, 16, 0, 0, 0));
  ASSERT_EQ(table.RowCount(), 1);
  EXPECT_EQ(table.Row(0).SentBytes, 7);
  EXPECT_EQ(table.Row(0).RecvBytes, 0);
}

TEST(AddrTotalsTest, ManyAddressesKeepSumsAndOrder) {
  TAddrTotalsTable table;
  std::mt19937 rng(7);
  std::map<std::uint32_t, std::pair<std::int64_t, std::int64_t>> expected;  // host order key
  for (int i = 0; i < 20000; ++i) {
    const auto host = static_cast<std::uint32_t>(rng() % 3000 * 65537u);
    const std::uint32_t net = htonl(host);
    const auto direction = static_cast<std::uint8_t>(rng() & 1);
    const auto length = static_cast<std::int64_t>(rng() % 1500);
    table.Fold({.RemoteAddr = net, .Direction = direction, .Category = 16, .Length = length});
    (direction ? expected[host].second : expected[host].first) += length;
  }
  ASSERT_EQ(table.RowCount(), static_cast<int>(expected.size()));
  int i = 0;
  for (const auto& [host, sums] : expected) {
    const AddrTotals& row = table.Row(i++);
    ASSERT_EQ(ntohl(row.Addr.Raw4()), host);
    EXPECT_EQ(row.SentBytes, sums.first);
    EXPECT_EQ(row.RecvBytes, sums.second);
  }
}

// The endpoint's summary: three busy addresses among many light ones keep
// their exact bytes in fixed space, and every address is counted.
TEST(AddrTotalsTest, SummaryKeepsTheBusiestExactInFixedSpace) {
  struct TCase {
    int Light;
    double CountWithin;  // fewer than it has room for: exact; a flood: an estimate
  };
  for (const TCase c : {TCase{100, 0}, TCase{50000, 500}}) {
    TAddrHeavyHitters summary(256);
    for (int i = 0; i < c.Light; ++i) {
      summary.Fold({.RemoteAddr = htonl(0x0B000000u + static_cast<std::uint32_t>(i)), .Direction = 1, .Length = 40});
      for (std::uint32_t h = 1; h <= 3 && i % 100 == 0; ++h)
        summary.Fold({.RemoteAddr = htonl(0x0A000000u + h), .Direction = 0, .Category = 5, .Length = 1000 * h});
    }
    EXPECT_LE(summary.Size(), 256u);
    const auto top = summary.Top(3);
    ASSERT_EQ(top.size(), 3u);
    for (std::uint32_t h = 1; h <= 3; ++h) {
      EXPECT_EQ(top[h - 1].Addr, htonl(0x0A000000u + h));
      EXPECT_EQ(top[h - 1].SentBytes, 1000 * h * static_cast<std::uint32_t>((c.Light + 99) / 100)) << c.Light;
    }
    EXPECT_NEAR(static_cast<double>(summary.Distinct()), c.Light + 3, c.CountWithin);
  }
}

}  // namespace
