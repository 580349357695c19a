#include "capture/DumpPacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;
using TLines = std::vector<std::string>;

TLocalTime At(std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour,
              std::uint16_t minute, std::uint16_t second) {
  return {.Year = year, .Month = month, .Day = day, .Hour = hour, .Minute = minute, .Second = second};
}

const TLocalTime Morning = At(2026, 1, 5, 9, 3, 7);

TBytes FromHex(std::string_view hex) {
  TBytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// A datagram of Size bytes: a fixed header, then bytes counting up.
TBytes Counting(std::size_t size, std::uint8_t protocol = 17) {
  TBytes d(size);
  for (std::size_t i = 0; i < size; ++i) d[i] = static_cast<std::uint8_t>(i);
  if (size > 9) d[9] = protocol;
  return d;
}

// The lines a dump writes into a fresh lines device. The view covers exactly
// the vector, so any read past it shows under the address sanitizer.
TLines Dump(const TBytes& bytes, std::int32_t n, std::uint8_t limit, const TLocalTime& now = Morning) {
  TStringLineList list;
  TTextChannel channel;
  channel.AssignLinesDevice(list);
  channel.Rewrite();
  DumpPacket(channel, TPacketView(bytes.data(), bytes.size()), n, limit, now);
  channel.Close();
  return list.Lines;
}

TLines Dump(const TBytes& bytes, std::uint8_t limit = 0) {
  return Dump(bytes, static_cast<std::int32_t>(bytes.size()), limit);
}

// --- whole dumps -----------------------------------------------------------

TEST(DumpPacketGoldenTest, TcpDatagramOf40Bytes) {
  const TBytes d = FromHex(
      "450000281A2B400080060000C0A80102"
      "5DB8D822C35000500000000100000000"
      "5002200041427E7F");
  ASSERT_EQ(d.size(), 40u);
  const TLines expected = {
      "--- (Length=00000028)-------------------------",
      "2026/ 1/ 5  9: 3: 7 Protocol: TCP ",
      "Source Address: 192.168.1.2 ",
      "Destination Address: 93.184.216.34 ",
      "Source Port: 50000  Destination Port: 80",
      "00000000:450000281A2B400080060000C0A80102 | E..(.+@.....ﾀｨ..",
      "00000010:5DB8D822C35000500000000100000000 | ]ｸﾘ\"ﾃP.P........",
      "00000020:5002200041427E7F                 | P. .AB~.",
  };
  EXPECT_EQ(Dump(d), expected);
}

TEST(DumpPacketGoldenTest, ExactlySixteenBytesHaveNoPadding) {
  const TBytes d = FromHex("4500001000004000400100000A0000FF");
  const TLines lines = Dump(d);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "2026/ 1/ 5  9: 3: 7 Protocol: ICMP ");
  EXPECT_EQ(lines[5], "00000000:4500001000004000400100000A0000FF | E.....@.@.......");
}

TEST(DumpPacketGoldenTest, DateLineWithTwoDigitFields) {
  const TLines lines = Dump(Counting(24, 17), 24, 0, At(2026, 12, 31, 23, 59, 58));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "2026/12/31 23:59:58 Protocol: UDP ");
}

TEST(DumpPacketGoldenTest, IcmpStillGetsPortLine) {
  TBytes d = Counting(28, 1);
  d[20] = 0x08;  // echo request: type, code, checksum read as ports
  d[21] = 0x00;
  d[22] = 0x4D;
  d[23] = 0x5A;
  const TLines lines = Dump(d);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[1], "2026/ 1/ 5  9: 3: 7 Protocol: ICMP ");
  EXPECT_EQ(lines[4], "Source Port: 2048  Destination Port: 19802");
}

// --- protocol names --------------------------------------------------------

struct TProtocolCase {
  std::uint8_t Protocol;
  const char* Line;
};

class DumpPacketProtocolTest : public testing::TestWithParam<TProtocolCase> {};

TEST_P(DumpPacketProtocolTest, NamesByteNine) {
  const TLines lines = Dump(Counting(20, GetParam().Protocol));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], GetParam().Line);
}

INSTANTIATE_TEST_SUITE_P(Names, DumpPacketProtocolTest,
                         testing::Values(TProtocolCase{0, "2026/ 1/ 5  9: 3: 7 Protocol: Reserved "},
                                         TProtocolCase{6, "2026/ 1/ 5  9: 3: 7 Protocol: TCP "},
                                         TProtocolCase{100, "2026/ 1/ 5  9: 3: 7 Protocol: GMTP "},
                                         TProtocolCase{101, "2026/ 1/ 5  9: 3: 7 Protocol: unknown(101) "},
                                         TProtocolCase{255, "2026/ 1/ 5  9: 3: 7 Protocol: unknown(255) "}),
                         [](const auto& p) { return "Protocol" + std::to_string(p.param.Protocol); });

// --- character column ------------------------------------------------------

struct TCharCase {
  std::uint8_t Byte;
  const char* Hex;
  const char* Shown;
};

class DumpPacketCharacterTest : public testing::TestWithParam<TCharCase> {};

TEST_P(DumpPacketCharacterTest, ShowsByte) {
  // The byte sits alone on the second listing line, at offset 16.
  TBytes d = Counting(17, 6);
  d[16] = GetParam().Byte;
  const TLines lines = Dump(d);
  ASSERT_EQ(lines.size(), 7u);
  const std::string& line = lines[6];
  ASSERT_GE(line.size(), 44u);
  EXPECT_EQ(line.substr(0, 44), std::string("00000010:") + GetParam().Hex + std::string(30, ' ') + " | ");
  EXPECT_EQ(line.substr(44), GetParam().Shown);
}

INSTANTIATE_TEST_SUITE_P(Bytes, DumpPacketCharacterTest,
                         // Half-width katakana: 0xA1 -> U+FF61 (EF BD A1) ... 0xDF -> U+FF9F (EF BE 9F).
                         testing::Values(TCharCase{0x00, "00", "."},
                                         TCharCase{0x1F, "1F", "."},
                                         TCharCase{0x20, "20", " "},
                                         TCharCase{0x41, "41", "A"},
                                         TCharCase{0x7E, "7E", "~"},
                                         TCharCase{0x7F, "7F", "."},
                                         TCharCase{0xA0, "A0", "."},
                                         TCharCase{0xA1, "A1", "｡"},
                                         TCharCase{0xB1, "B1", "ｱ"},
                                         TCharCase{0xDE, "DE", "ﾞ"},
                                         TCharCase{0xDF, "DF", "ﾟ"},
                                         TCharCase{0xE0, "E0", "."},
                                         TCharCase{0xFF, "FF", "."}),
                         [](const auto& p) { return std::string("Byte") + p.param.Hex; });

// --- how much is listed --------------------------------------------------

struct TListingCase {
  const char* Name;
  std::int32_t N;
  std::uint8_t Limit;
  std::size_t ViewSize;
  bool LengthWarning;
  std::size_t ListingLines;
  const char* LastLineStart;  // offset and ":" of the last listing line
};

const TListingCase ListingCases[] = {
    {"Limited1500", 1500, 1, 1500, false, 16, "000000F0:"},
    {"Full1500", 1500, 0, 1500, false, 94, "000005D0:"},
    {"Limited256IsWhole", 256, 1, 256, false, 16, "000000F0:"},
    {"Limited257", 257, 1, 257, false, 16, "000000F0:"},
    {"Full257", 257, 0, 257, false, 17, "00000100:"},
    {"OneByte", 1, 0, 1, false, 1, "00000000:"},
    {"Empty", 0, 0, 0, false, 0, nullptr},
    {"NegativeLength", -1, 0, 64, false, 0, nullptr},
    {"MostNegativeLength", INT32_MIN, 1, 64, false, 0, nullptr},
    {"LargestIpDatagram", 65535, 0, 65535, false, 4096, "0000FFF0:"},
    {"OversizeLimited", 65536, 1, 65536, true, 16, "000000F0:"},
    {"OversizeFull", 65537, 0, 65537, true, 4097, "00010000:"},
    {"LengthBeyondView", 100, 0, 8, false, 7, "00000060:"},
};

class DumpPacketListingTest : public testing::TestWithParam<TListingCase> {};

TEST_P(DumpPacketListingTest, LinesAndOffsets) {
  const TListingCase& c = GetParam();
  const TLines lines = Dump(Counting(c.ViewSize, 6), c.N, c.Limit);
  const std::size_t head = c.LengthWarning ? 6 : 5;
  ASSERT_EQ(lines.size(), head + c.ListingLines);
  EXPECT_EQ(lines[1] == "Length > MAX_IP_SIZE", c.LengthWarning);
  if (c.ListingLines == 0) return;
  EXPECT_EQ(lines[head].substr(0, 9), "00000000:");
  EXPECT_EQ(lines.back().substr(0, 9), c.LastLineStart);
  // Every line but the last is a full run of 16 bytes.
  for (std::size_t i = head; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(41, 3), " | ") << lines[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DumpPacketListingTest, testing::ValuesIn(ListingCases),
                         [](const testing::TestParamInfo<TListingCase>& paramInfo) {
                           return paramInfo.param.Name;
                         });

TEST(DumpPacketTest, LengthHeaderShowsTheReportedCount) {
  const TBytes d = Counting(4);
  EXPECT_EQ(Dump(d, 0x12345, 1).front(), "--- (Length=00012345)-------------------------");
  EXPECT_EQ(Dump(d, -1, 0).front(), "--- (Length=FFFFFFFF)-------------------------");
  EXPECT_EQ(Dump(d, 0, 0).front(), "--- (Length=00000000)-------------------------");
}

TEST(DumpPacketTest, BytesBeyondTheViewShowAsZero) {
  const TBytes d = FromHex("45000014");
  const TLines lines = Dump(d, 20, 0);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], "00000000:45000014000000000000000000000000 | E...............");
  EXPECT_EQ(lines[6], "00000010:00000000                         | ....");
}

// Datagrams too short to hold the header fields: the missing bytes read as
// 0 and nothing is read past the delivered bytes (the view covers exactly
// them, so the address sanitizer would catch an overread).
TEST(DumpPacketTest, ShortDatagramsShowZeroForMissingFields) {
  const TBytes full = FromHex("4500001C00000000FF11FFFFC0A8010AC0A80114D4310035");
  struct TExpect {
    std::size_t Size;
    const char* Protocol;
    const char* Source;
    const char* Dest;
    const char* Ports;
  };
  const TExpect cases[] = {
      {0, "Reserved ", "0.0.0.0 ", "0.0.0.0 ", "Source Port: 0  Destination Port: 0"},
      {9, "Reserved ", "0.0.0.0 ", "0.0.0.0 ", "Source Port: 0  Destination Port: 0"},
      {10, "UDP ", "0.0.0.0 ", "0.0.0.0 ", "Source Port: 0  Destination Port: 0"},
      {13, "UDP ", "192.0.0.0 ", "0.0.0.0 ", "Source Port: 0  Destination Port: 0"},
      {16, "UDP ", "192.168.1.10 ", "0.0.0.0 ", "Source Port: 0  Destination Port: 0"},
      {19, "UDP ", "192.168.1.10 ", "192.168.1.0 ", "Source Port: 0  Destination Port: 0"},
      {21, "UDP ", "192.168.1.10 ", "192.168.1.20 ", "Source Port: 54272  Destination Port: 0"},
      {23, "UDP ", "192.168.1.10 ", "192.168.1.20 ", "Source Port: 54321  Destination Port: 0"},
      {24, "UDP ", "192.168.1.10 ", "192.168.1.20 ", "Source Port: 54321  Destination Port: 53"},
  };
  for (const TExpect& c : cases) {
    SCOPED_TRACE(c.Size);
    // A fresh allocation of exactly the delivered size.
    const TBytes d(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.Size));
    const TLines lines = Dump(d);
    ASSERT_EQ(lines.size(), 5 + (c.Size + 15) / 16);
    EXPECT_EQ(lines[1], std::string("2026/ 1/ 5  9: 3: 7 Protocol: ") + c.Protocol);
    EXPECT_EQ(lines[2], std::string("Source Address: ") + c.Source);
    EXPECT_EQ(lines[3], std::string("Destination Address: ") + c.Dest);
    EXPECT_EQ(lines[4], c.Ports);
  }
}

TEST(DumpPacketTest, EmptyViewWithLength) {
  const TLines lines = Dump(TBytes{}, 3, 0);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], "00000000:000000" + std::string(26, ' ') + " | ...");
}

// --- the channel's devices -------------------------------------------------

TEST(DumpPacketDevicesTest, NullDeviceTakesEverythingQuietly) {
  const TBytes d = Counting(1500, 6);
  TTextChannel channel;
  channel.AssignNullDevice();
  channel.Rewrite();
  EXPECT_FALSE(channel.WantsText());
  EXPECT_NO_THROW(DumpPacket(channel, TPacketView(d.data(), d.size()), 1500, 0));
  EXPECT_NO_THROW(DumpPacket(channel, TPacketView(d.data(), d.size()), 1500, 0, Morning));
  EXPECT_NO_THROW(channel.Close());
}

TEST(DumpPacketDevicesTest, ClockOverloadDumpsWithTheCurrentDate) {
  const TBytes d = Counting(40, 6);
  TStringLineList list;
  TTextChannel channel;
  channel.AssignLinesDevice(list);
  channel.Rewrite();
  const TLocalTime before = GetLocalTime();
  DumpPacket(channel, TPacketView(d.data(), d.size()), 40, 0);
  const TLocalTime after = GetLocalTime();
  channel.Close();
  ASSERT_EQ(list.Lines.size(), 8u);
  const std::string& dateLine = list.Lines[1];
  const std::string year = dateLine.substr(0, dateLine.find('/'));
  EXPECT_TRUE(year == std::to_string(before.Year) || year == std::to_string(after.Year)) << dateLine;
  EXPECT_NE(dateLine.find(" Protocol: TCP "), std::string::npos) << dateLine;
}

}  // namespace
