#include "support/DateTimeText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace {

struct TMaskCase {
  const char* Name;
  std::string Mask;
  std::int64_t Value;
  std::string Expected;
};

std::string Repeat(std::string_view piece, std::size_t times) {
  std::string s;
  for (std::size_t i = 0; i < times; ++i) s.append(piece);
  return s;
}

constexpr std::int64_t Int64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t Int64Max = std::numeric_limits<std::int64_t>::max();

const TMaskCase MaskCases[] = {
    // Times as the address view shows them.
    {"TimeMorning", "99:99:99", 90507, "09:05:07"},
    {"TimeZero", "99:99:99", 0, "00:00:00"},
    {"TimeLast", "99:99:99", 235959, "23:59:59"},
    // Grouping: the comma only while digits remain.
    {"GroupShort", "ZZZ,ZZ9", 123, "    123"},
    {"GroupThousands", "ZZZ,ZZ9", 1234, "  1,234"},
    {"GroupZero", "ZZZ,ZZ9", 0, "      0"},
    {"GroupOverflowDropsLeading", "ZZZ,ZZ9", 1234567, "234,567"},
    {"LowerCaseZ", "zz9", 7, "  7"},
    // Sign placement.
    {"SignInBlankFill", "ZZ9", -5, " -5"},
    {"SignNoRoom", "9", -5, "5"},
    {"SignReplacesZeroFill", "999", -5, "0-5"},
    {"SignReplacesLiteral", "(ZZ9)", -5, "( -5)"},
    {"SignLeftmostDigitAtFirstPosition", "Z,ZZ9", -1234, "1,234"},
    {"SignReplacesComma", "ZZ,Z9", -12, "  -12"},
    {"NoDigitPlacedNoSign", "ab-", -5, "ab-"},
    // Masks without digit places.
    {"NoDigitCharacters", "ab,cd", 42, "ab,cd"},
    {"EmptyMask", "", 42, ""},
    // Extremes of the value range.
    {"Int64Max", Repeat("9", 19), Int64Max, "9223372036854775807"},
    {"Int64Min", Repeat("Z", 20), Int64Min, "-9223372036854775808"},
    {"Int64MinTruncated", "ZZ9", Int64Min, "808"},
    {"Int64MinWithRoom", Repeat("Z", 21), Int64Min, " -9223372036854775808"},
    // UTF-8 masks: one multibyte sequence is one mask character.
    {"MultibyteLiterals", "時99分99秒", 1234, "時12分34秒"},
    {"MultibyteReplacedBySign", "時9", -5, "-5"},
    {"FullWidthZIsALiteral", "ＺＺ9", -5, "Ｚ-5"},
    {"MultibyteAfterDigits", "ZZ9円", -5, " -5円"},
    {"FourByteSequence", "😀9", -5, "-5"},
    // Malformed bytes are characters of their own and are copied as they are.
    {"StrayLeadByte", "\xFF" "9", 5, "\xFF" "5"},
    {"StrayLeadByteTakesSign", "\xFF" "9", -5, "-5"},
    {"TruncatedSequence", "\xE6\x99" "9", 3, "\xE6\x99" "3"},
    {"TruncatedSequenceSignOnContinuation", "\xE6\x99" "9", -3, "\xE6-3"},
    {"EncodedSurrogateIsThreeBytes", "\xED\xA0\x80" "9", -3, "\xED\xA0-3"},
    // Length limit: 254 characters are allowed, 255 are not.
    {"Length254", Repeat("9", 254), 1, Repeat("0", 253) + "1"},
    {"Length255", Repeat("9", 255), 1, std::string(MaskTooLongText)},
    {"Length254Multibyte", Repeat("分", 253) + "9", 1, Repeat("分", 253) + "1"},
    {"Length255Multibyte", Repeat("分", 254) + "9", 1, std::string(MaskTooLongText)},
    {"Length254MalformedBytes", Repeat("\xFF", 253) + "9", 1, Repeat("\xFF", 253) + "1"},
    {"Length255MalformedBytes", Repeat("\xFF", 254) + "9", 1, std::string(MaskTooLongText)},
};

class FormatByMaskTest : public testing::TestWithParam<TMaskCase> {};

TEST_P(FormatByMaskTest, LaysDigitsIntoMask) {
  const TMaskCase& c = GetParam();
  EXPECT_EQ(FormatByMask(c.Mask, c.Value), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FormatByMaskTest, testing::ValuesIn(MaskCases),
                         [](const testing::TestParamInfo<TMaskCase>& paramInfo) { return paramInfo.param.Name; });

TLocalTime At(std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour,
              std::uint16_t minute, std::uint16_t second) {
  return {.Year = year, .Month = month, .Day = day, .Hour = hour, .Minute = minute, .Second = second};
}

TEST(DateTimeNumbersTest, FromCalendarFields) {
  EXPECT_EQ(DateNumberOf(At(2026, 12, 6, 0, 0, 0)), 20261206);
  EXPECT_EQ(DateNumberOf(At(1999, 1, 31, 0, 0, 0)), 19990131);
  EXPECT_EQ(TimeNumberOf(At(2026, 1, 1, 9, 5, 7)), 90507);
  EXPECT_EQ(TimeNumberOf(At(2026, 1, 1, 23, 59, 59)), 235959);
  EXPECT_EQ(TimeNumberOf(At(2026, 1, 1, 0, 0, 0)), 0);
}

// Calendar conversion in a fixed zone, so the expectations hold anywhere.
class LocalTimeOfTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    hadZone = old != nullptr;
    if (hadZone) oldZone = old;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadZone) {
      setenv("TZ", oldZone.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool hadZone = false;
  std::string oldZone;
};

TEST_F(LocalTimeOfTest, SplitsIntoFields) {
  const TLocalTime t = LocalTimeOf(1767603787, 123456);  // 2026-01-05 09:03:07.123456
  EXPECT_EQ(t.Year, 2026);
  EXPECT_EQ(t.Month, 1);
  EXPECT_EQ(t.Day, 5);
  EXPECT_EQ(t.DayOfWeek, 1);  // Monday
  EXPECT_EQ(t.Hour, 9);
  EXPECT_EQ(t.Minute, 3);
  EXPECT_EQ(t.Second, 7);
  EXPECT_EQ(t.Millisecond, 123);
}

TEST_F(LocalTimeOfTest, CarriesMicrosecondsOutOfRange) {
  const TLocalTime borrow = LocalTimeOf(1796601600, -1);  // one microsecond before 2026-12-07
  EXPECT_EQ(DateNumberOf(borrow), 20261206);
  EXPECT_EQ(TimeNumberOf(borrow), 235959);
  EXPECT_EQ(borrow.Millisecond, 999);

  const TLocalTime carry = LocalTimeOf(1796601599, 2'500'000);
  EXPECT_EQ(DateNumberOf(carry), 20261207);
  EXPECT_EQ(TimeNumberOf(carry), 1);
  EXPECT_EQ(carry.Millisecond, 500);
}

TEST_F(LocalTimeOfTest, UnrepresentableMomentGivesZeroFields) {
  // Overflow while carrying the microseconds, and a year the C library
  // cannot hold.
  for (const TLocalTime& t : {LocalTimeOf(std::numeric_limits<std::time_t>::max(), Int64Max),
                              LocalTimeOf(std::numeric_limits<std::time_t>::max(), 0)}) {
    EXPECT_EQ(DateNumberOf(t), 0);
    EXPECT_EQ(TimeNumberOf(t), 0);
  }
}

TEST_F(LocalTimeOfTest, ClockReadingsAgreeWithSystemClock) {
  const std::time_t before = std::time(nullptr);
  const TLocalTime now = GetLocalTime();
  const std::int32_t date = LocalDateNumber();
  const std::int32_t time = LocalTimeNumber();
  const std::time_t after = std::time(nullptr) + 1;

  const TLocalTime first = LocalTimeOf(before, 0);
  const TLocalTime last = LocalTimeOf(after, 0);
  const auto within = [](std::int64_t v, std::int64_t lo, std::int64_t hi) { return lo <= v && v <= hi; };
  const auto stamp = [](const TLocalTime& t) {
    return static_cast<std::int64_t>(DateNumberOf(t)) * 1000000 + TimeNumberOf(t);
  };
  EXPECT_TRUE(within(stamp(now), stamp(first), stamp(last)));
  EXPECT_LT(now.Millisecond, 1000);
  // Date and time are separate reads; only when no midnight lies between
  // the readings must the time fall between them too.
  EXPECT_TRUE(date == DateNumberOf(first) || date == DateNumberOf(last)) << date;
  if (DateNumberOf(first) == DateNumberOf(last)) {
    EXPECT_TRUE(within(time, TimeNumberOf(first), TimeNumberOf(last))) << time;
  }
}

}  // namespace
