// The hand-off of packet dumps: the ring's wrap-around and full cases, and the
// formatter's order, skip lines, ending and channel changes.
#include "capture/DumpRing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <utility>

#include "common/Datagrams.h"
#include "common/DumpFiles.h"
#include "capture/DumpPacket.h"

namespace {

using namespace std::chrono_literals;

// Bytes whose content tells which push they came from.
std::vector<std::uint8_t> Numbered(std::uint32_t number, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(number * 31 + i);
  if (size >= 4) std::memcpy(bytes.data(), &number, 4);
  return bytes;
}

bool Push(TDumpRing& ring, std::uint32_t number, std::size_t size) {
  const auto bytes = Numbered(number, size);
  const timespec clock{static_cast<std::time_t>(number), 0};
  return ring.Push(static_cast<std::int32_t>(size) + 1000, 1, clock, bytes.data(), static_cast<std::uint32_t>(size));
}

// Pops one entry and checks it is push `number` of `size` bytes.
void ExpectFront(TDumpRing& ring, std::uint32_t number, std::size_t size, std::uint64_t skippedBefore = 0) {
  TDumpEntry entry;
  ASSERT_TRUE(ring.Front(entry)) << "entry " << number;
  EXPECT_EQ(entry.Length, static_cast<std::int32_t>(size) + 1000);
  EXPECT_EQ(entry.Limit, 1);
  EXPECT_EQ(entry.Clock.tv_sec, static_cast<std::time_t>(number));
  EXPECT_EQ(entry.SkippedBefore, skippedBefore) << "entry " << number;
  ASSERT_EQ(entry.Copied, size);
  EXPECT_EQ(std::vector<std::uint8_t>(entry.Bytes, entry.Bytes + entry.Copied), Numbered(number, size))
      << "entry " << number;
  ring.Pop();
}

TEST(DumpRingTest, EntriesTakeAHeaderAndTheirBytesInStepsOfEight) {
  EXPECT_EQ(TDumpRing::EntrySize(0), TDumpRing::HeaderSize);
  EXPECT_EQ(TDumpRing::EntrySize(1), TDumpRing::HeaderSize + 8);
  EXPECT_EQ(TDumpRing::EntrySize(24), TDumpRing::HeaderSize + 24);
  EXPECT_EQ(TDumpRing::EntrySize(65535), TDumpRing::HeaderSize + 65536);
  EXPECT_EQ(TDumpRing(1001).Capacity(), 1000u);
  EXPECT_EQ(TDumpRing(3).Capacity(), TDumpRing::HeaderSize);
}

// Each case: a capacity, pushes (size; or -1 to pop the oldest) and whether
// each push fits; what comes out is checked against what went in.
struct TRingCase {
  const char* Name;
  std::size_t Capacity;
  std::vector<std::pair<int, bool>> Steps;
};

TEST(DumpRingTest, WrapAroundAndFullCases) {
  const std::size_t e24 = TDumpRing::EntrySize(24);  // 64
  const TRingCase cases[] = {
      {"exactly full, then one more does not fit", 3 * e24, {{24, true}, {24, true}, {24, true}, {24, false}}},
      {"room again after a pop, at the beginning", 3 * e24, {{24, true}, {24, true}, {24, true}, {-1, true},
                                                             {24, true}, {24, false}}},
      // 192 used of 256, all popped: an entry of 144 does not fit in the 64
      // before the end and starts again at the beginning.
      {"larger than the space left before the end", 256, {{24, true}, {24, true}, {24, true}, {-1, true},
                                                          {-1, true}, {-1, true}, {104, true}, {-1, true},
                                                          {24, true}}},
      // The 24 left at the end cannot even hold the marker.
      {"end too short for a header", 216, {{24, true}, {24, true}, {24, true}, {-1, true}, {-1, true},
                                            {24, true}, {-1, true}, {-1, true}}},
      // The gap before the end counts as used until the entry is popped.
      {"wasted end counts against the room", 256, {{24, true}, {24, true}, {24, true}, {-1, true},
                                                    {104, false}, {-1, true}, {-1, true}, {104, true},
                                                    {24, false}, {-1, true}, {24, true}}},
      {"empty ring, entry larger than either part", 200, {{24, true}, {24, true}, {-1, true}, {-1, true},
                                                          {104, false}, {0, true}}},
      {"larger than the whole ring", 128, {{200, false}, {0, true}}},
      {"zero bytes", 80, {{0, true}, {0, true}, {0, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TDumpRing ring(c.Capacity);
    std::deque<std::pair<std::uint32_t, std::size_t>> inside;
    std::uint32_t number = 0;
    std::uint64_t skips = 0, skipsSinceEntry = 0;
    std::deque<std::uint64_t> skipsBefore;
    for (const auto& [size, fits] : c.Steps) {
      if (size < 0) {
        ASSERT_FALSE(inside.empty());
        ExpectFront(ring, inside.front().first, inside.front().second, skipsBefore.front());
        inside.pop_front();
        skipsBefore.pop_front();
        continue;
      }
      ++number;
      ASSERT_EQ(Push(ring, number, static_cast<std::size_t>(size)), fits) << "push " << number;
      if (fits) {
        inside.emplace_back(number, static_cast<std::size_t>(size));
        skipsBefore.push_back(skipsSinceEntry);
        skipsSinceEntry = 0;
      } else {
        ++skips;
        ++skipsSinceEntry;
      }
    }
    while (!inside.empty()) {
      ExpectFront(ring, inside.front().first, inside.front().second, skipsBefore.front());
      inside.pop_front();
      skipsBefore.pop_front();
    }
    TDumpEntry entry;
    EXPECT_FALSE(ring.Front(entry));
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(ring.Skipped(), skips);
    EXPECT_EQ(ring.TakeUnreported(), skipsSinceEntry);
    EXPECT_EQ(ring.Free(), ring.Capacity());
  }
}

TEST(DumpRingTest, ManySmallEntriesAcrossThreadsKeepTheirOrder) {
  TDumpRing ring(4096);
  constexpr std::uint32_t Count = 200000;
  std::atomic<bool> Finished{false};
  std::thread producer([&] {
    std::minstd_rand random(7);
    for (std::uint32_t i = 1; i <= Count; ++i) Push(ring, i, random() % 100);
    Finished = true;
  });
  std::uint32_t last = 0, got = 0;
  std::uint64_t reportedSkips = 0;
  // Skips the consumer takes in a quiet spell, as the formatter does: they
  // belong after the entries the take says, and before the next one.
  std::uint64_t carried = 0, carryAfter = 0, between = 0;
  const auto consume = [&] {
    TDumpEntry entry;
    while (ring.Front(entry)) {
      const auto number = static_cast<std::uint32_t>(entry.Clock.tv_sec);
      if (entry.Copied >= 4) {
        std::uint32_t inBytes = 0;
        std::memcpy(&inBytes, entry.Bytes, 4);
        EXPECT_EQ(inBytes, number);
      }
      ASSERT_GT(number, last);
      // Every push in between was skipped, and says so where it was.
      EXPECT_EQ(entry.SkippedBefore + between, number - last - 1);
      reportedSkips += entry.SkippedBefore + between;
      between = 0;
      last = number;
      ++got;
      ring.Pop();
      if (carried != 0 && ring.Consumed() >= carryAfter) between += std::exchange(carried, 0);
    }
    std::uint64_t after = 0;
    if (const std::uint64_t n = ring.TakeUnreported(after); n != 0) {
      if (ring.Consumed() >= after) {
        between += n;
      } else {
        carried += n;
        carryAfter = after;
      }
    }
  };
  producer.join();
  consume();
  consume();
  reportedSkips += between + carried;
  EXPECT_EQ(got + ring.Skipped(), Count);
  EXPECT_EQ(reportedSkips, ring.Skipped());
  EXPECT_GT(got, 0u);
}

// The dump text, date masked, that DumpPacket makes for Datagram.
std::vector<std::string> DirectDump(const std::vector<std::uint8_t>& datagram, std::uint8_t limit) {
  TStringLineList lines;
  TTextChannel channel;
  channel.AssignLinesDevice(lines);
  channel.Rewrite();
  DumpPacket(channel, TPacketView(datagram.data(), datagram.size()), static_cast<std::int32_t>(datagram.size()),
             limit, TLocalTime{.Year = 2026, .Month = 1, .Day = 5, .Hour = 9, .Minute = 3, .Second = 7});
  return NormalisedDump(lines.Lines);
}

std::vector<std::uint8_t> Sample(std::uint16_t length, std::uint16_t port) {
  auto d = MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = "10.9.8.7", .SourcePort = port,
                         .DestPort = 53, .TotalLength = length, .Delivered = length});
  for (std::size_t i = 24; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i + port);
  return d;
}

class DumpFormatterTest : public testing::Test {
 protected:
  void SetUp() override {
    Channel.AssignLinesDevice(Lines);
    Channel.Rewrite();
  }

  void Dump(TDumpFormatter& formatter, const std::vector<std::uint8_t>& d, std::uint8_t limit = 0) {
    formatter.Dump(TPacketView(d.data(), d.size()), static_cast<std::int32_t>(d.size()), limit);
  }

  // This thread owns the channel: takes lines in until the formatter is idle.
  bool Settle(TDumpFormatter& formatter, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const bool idle = formatter.Idle();
      Channel.DrainPending();
      if (idle) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
  }

  // A formatter with room for two 40-byte dumps that has written a first one
  // and now holds back (a line is queued) until this thread takes lines in.
  std::unique_ptr<TDumpFormatter> StalledFormatter() {
    auto formatter = std::make_unique<TDumpFormatter>(Channel, 2 * TDumpRing::EntrySize(40), 1);
    Dump(*formatter, Sample(40, 1));
    EXPECT_TRUE(AwaitWritten(*formatter, 1));
    return formatter;
  }

  // Waits, without taking lines in, until `written` dumps have been written.
  static bool AwaitWritten(TDumpFormatter& formatter, std::uint64_t written) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (formatter.Written() < written)
      if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
  }

  TStringLineList Lines;
  TTextChannel Channel;
};

TEST_F(DumpFormatterTest, SkipLineText) {
  EXPECT_EQ(TDumpFormatter::SkipLine(1), "-- 1 datagrams not dumped --");
  EXPECT_EQ(TDumpFormatter::SkipLine(1234567), "-- 1234567 datagrams not dumped --");
}

TEST_F(DumpFormatterTest, GivesDumpPacketsTextInCaptureOrder) {
  TDumpFormatter formatter(Channel, 1 << 20);
  std::vector<std::string> expected;
  for (std::uint16_t i = 0; i < 300; ++i) {
    const auto d = Sample(static_cast<std::uint16_t>(24 + (i * 37) % 600), i);
    const std::uint8_t limit = i % 3 == 0 ? 1 : 0;
    Dump(formatter, d, limit);
    const auto lines = DirectDump(d, limit);
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  ASSERT_TRUE(Settle(formatter));
  EXPECT_EQ(NormalisedDump(Lines.Lines), expected);
  EXPECT_EQ(DateLinesSeen(Lines.Lines), 300);
  EXPECT_EQ(formatter.Written(), 300u);
  EXPECT_EQ(formatter.Skipped(), 0u);
}

TEST_F(DumpFormatterTest, SkippedRunShowsAsOneLineWhereItWas) {
  const auto stalled = StalledFormatter();
  TDumpFormatter& formatter = *stalled;
  // Two dumps fill the ring, and the next three find no room.
  for (std::uint16_t port = 2; port <= 6; ++port) Dump(formatter, Sample(40, port));
  EXPECT_EQ(formatter.Skipped(), 3u);
  ASSERT_TRUE(Settle(formatter));
  Dump(formatter, Sample(40, 7));
  ASSERT_TRUE(Settle(formatter));

  std::vector<std::string> expected;
  for (const std::uint16_t port : {std::uint16_t{1}, std::uint16_t{2}, std::uint16_t{3}}) {
    const auto lines = DirectDump(Sample(40, port), 0);
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  expected.push_back("-- 3 datagrams not dumped --");
  const auto last = DirectDump(Sample(40, 7), 0);
  expected.insert(expected.end(), last.begin(), last.end());
  EXPECT_EQ(NormalisedDump(Lines.Lines), expected);
  EXPECT_EQ(formatter.Written(), 4u);
}

TEST_F(DumpFormatterTest, SkipsAtTheEndAreReportedOnceDumpsStop) {
  const auto stalled = StalledFormatter();
  TDumpFormatter& formatter = *stalled;
  for (std::uint16_t port = 2; port <= 5; ++port) Dump(formatter, Sample(40, port));
  ASSERT_TRUE(Settle(formatter));
  ASSERT_FALSE(Lines.Lines.empty());
  EXPECT_EQ(Lines.Lines.back(), "-- 2 datagrams not dumped --");
  EXPECT_EQ(DateLinesSeen(Lines.Lines), 3);
  // Reported once only.
  std::this_thread::sleep_for(120ms);
  Channel.DrainPending();
  EXPECT_EQ(std::count(Lines.Lines.begin(), Lines.Lines.end(), "-- 2 datagrams not dumped --"), 1);
}

TEST_F(DumpFormatterTest, EndingWithAFullRingIsPromptAndCountsTheRest) {
  // The formatter waits for this thread, which does not take lines in.
  TDumpFormatter formatter(Channel, 64 * TDumpRing::EntrySize(1400), 1);
  Dump(formatter, Sample(1400, 0));
  ASSERT_TRUE(AwaitWritten(formatter, 1));
  for (std::uint16_t i = 1; i <= 100; ++i) Dump(formatter, Sample(1400, i));
  EXPECT_GT(formatter.Skipped(), 0u);
  const auto start = std::chrono::steady_clock::now();
  formatter.Finish();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(formatter.Written() + formatter.Skipped(), 101u);
  Channel.DrainPending();
  ASSERT_FALSE(Lines.Lines.empty());
  EXPECT_EQ(Lines.Lines.back(), TDumpFormatter::SkipLine(formatter.Skipped()));
  EXPECT_EQ(DateLinesSeen(Lines.Lines), static_cast<int>(formatter.Written()));
  EXPECT_TRUE(formatter.Idle());
}

TEST_F(DumpFormatterTest, ChannelRebindingAndClosingWhileItRunsIsSafe) {
  std::atomic<bool> done{false};
  TDumpFormatter formatter(Channel, 1 << 16);
  std::thread capture([&] {
    std::uint16_t port = 0;
    while (!done.load()) {
      const auto d = Sample(static_cast<std::uint16_t>(40 + port % 200), port);
      formatter.Dump(TPacketView(d.data(), d.size()), static_cast<std::int32_t>(d.size()), 0);
      ++port;
    }
  });
  for (int round = 0; round < 200; ++round) {
    auto list = std::make_unique<TStringLineList>();
    Channel.AssignLinesDevice(*list);
    Channel.Rewrite();
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(100us);
      Channel.DrainPending();
    }
    if (round % 2) Channel.Close();
    if (round % 3 == 0) {
      Channel.AssignNullDevice();
      Channel.Rewrite();
    }
    // The list goes; the channel no longer points at it.
    for (const auto& line : list->Lines) EXPECT_FALSE(line.empty());
    if (round % 3 != 0 && round % 2 == 0) Channel.Close();
    list.reset();
  }
  done = true;
  capture.join();
  Channel.AssignLinesDevice(Lines);
  Channel.Rewrite();
  ASSERT_TRUE(Settle(formatter));  // whatever the flood left
  const auto d = Sample(40, 9);
  formatter.Dump(TPacketView(d.data(), d.size()), 40, 0);
  ASSERT_TRUE(Settle(formatter));
  EXPECT_GT(formatter.Written(), 0u);
  // The last dump arrived whole, and last.
  ASSERT_GE(Lines.Lines.size(), 8u);
  EXPECT_EQ(NormalisedDump({Lines.Lines.end() - 8, Lines.Lines.end()}), DirectDump(d, 0));
}

TEST_F(DumpFormatterTest, NothingStartsUntilTheFirstDump) {
  TDumpFormatter formatter(Channel);
  EXPECT_TRUE(formatter.Idle());
  EXPECT_EQ(formatter.Written(), 0u);
  EXPECT_EQ(formatter.Skipped(), 0u);
}

}  // namespace
