// The engine's own capture-file decoder, on the capture files of the tests:
// what it reads must be what an independent reader (tcpdump) lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/backend/CaptureFileDecoder.h"

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& name) {
  std::ifstream in(std::string(WIREPEEK_TEST_DATA) + "/files/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CaptureFileDecoderTest, ReadsEveryRecordOfBothFormatsAsTcpdumpLists) {
  struct TCase {
    const char* File;
    int LinkType;
    int Records;
    std::int64_t FirstSeconds, FirstMicros, LastSeconds, LastMicros;
    bool Whole;  // false: the file ends inside a record
  } const cases[] = {
      {"traffic.pcap", 1, 7, 1767603903, 250000, 1767603906, 0, true},
      {"traffic.pcapng", 1, 7, 1767603903, 250000, 1767603906, 0, true},
      {"cooked.pcap", 276, 6, 1767603903, 250000, 1767603906, 0, true},
      {"traffic-swapped-nano.pcap", 1, 7, 1767603903, 250000, 1767603906, 0, true},
      {"cut.pcap", 1, 6, 1767603903, 250000, 1767603905, 100, false},
  };
  for (const auto& c : cases) {
    const auto bytes = ReadFile(c.File);
    ASSERT_FALSE(bytes.empty()) << c.File;
    TCaptureFileDecoder decoder;
    int records = 0;
    TCaptureFileDecoder::TRecord first, last, record;
    // Seven bytes at a time: records and blocks arrive in pieces.
    for (std::size_t at = 0; at < bytes.size(); at += 7) {
      decoder.Append(bytes.data() + at, std::min<std::size_t>(7, bytes.size() - at));
      while (decoder.Next(record) == TCaptureFileDecoder::TState::Record) {
        if (records++ == 0) first = record;
        last = record;
        EXPECT_EQ(record.LinkType, c.LinkType) << c.File;
        EXPECT_GT(record.Length, 0u) << c.File;
      }
    }
    EXPECT_EQ(decoder.Problem(), "") << c.File;
    EXPECT_EQ(records, c.Records) << c.File;
    EXPECT_EQ(first.Seconds, c.FirstSeconds) << c.File;
    EXPECT_EQ(first.Microseconds, c.FirstMicros) << c.File;
    EXPECT_EQ(last.Seconds, c.LastSeconds) << c.File;
    EXPECT_EQ(last.Microseconds, c.LastMicros) << c.File;
    EXPECT_EQ(decoder.Pending() == 0, c.Whole) << c.File;
  }
  TCaptureFileDecoder junk;
  const std::string text = "this is not a capture file";
  junk.Append(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  TCaptureFileDecoder::TRecord none;
  EXPECT_EQ(junk.Next(none), TCaptureFileDecoder::TState::Garbled);
  EXPECT_EQ(junk.Problem(), "unknown file format");
}

}  // namespace
