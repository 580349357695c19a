#include "support/DateTimeText.h"

#include <array>
#include <cstddef>
#include <limits>

#include <platform/Time.h>

namespace {

// Calendar fields of a moment; all zero when the C library cannot represent
// it (a year outside what the fields hold), so callers never see garbage.
TLocalTime FromTimeT(std::time_t seconds, long milliseconds) {
  TLocalTime out;
  std::tm parts{};
  if (!LocalCalendar(seconds, parts)) return out;
  const long long year = static_cast<long long>(parts.tm_year) + 1900;
  if (year < 0 || year > std::numeric_limits<std::uint16_t>::max()) return out;
  out.Year = static_cast<std::uint16_t>(year);
  out.Month = static_cast<std::uint16_t>(parts.tm_mon + 1);
  out.DayOfWeek = static_cast<std::uint16_t>(parts.tm_wday);
  out.Day = static_cast<std::uint16_t>(parts.tm_mday);
  out.Hour = static_cast<std::uint16_t>(parts.tm_hour);
  out.Minute = static_cast<std::uint16_t>(parts.tm_min);
  // A leap second (60) is kept as the C library reports it.
  out.Second = static_cast<std::uint16_t>(parts.tm_sec);
  out.Millisecond = static_cast<std::uint16_t>(milliseconds);
  return out;
}

// Byte length of the UTF-8 sequence starting at Text[pos], or 1 when the
// byte there does not begin a complete, well-formed sequence: such a byte is
// a character of its own and is copied unchanged.
std::size_t Utf8SequenceLength(std::string_view Text, std::size_t pos) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(Text[i]); };
  const unsigned char lead = at(pos);
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 1;
  }
  if (Text.size() - pos < len) return 1;
  if (at(pos + 1) < lo || at(pos + 1) > hi) return 1;
  for (std::size_t i = 2; i < len; ++i) {
    if (at(pos + i) < 0x80 || at(pos + i) > 0xBF) return 1;
  }
  return len;
}

}  // namespace

TLocalTime GetLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FromTimeT(now.tv_sec, now.tv_nsec / 1000000);
}

TLocalTime LocalTimeOf(std::time_t seconds, std::int64_t microseconds) {
  // Carry whole seconds out of the microseconds (floor division, so a
  // negative remainder borrows a second) before converting.
  std::int64_t carry = microseconds / 1000000;
  std::int64_t rest = microseconds % 1000000;
  if (rest < 0) {
    rest += 1000000;
    --carry;
  }
  std::time_t whole = 0;
  if (__builtin_add_overflow(seconds, carry, &whole)) return TLocalTime{};
  return FromTimeT(whole, static_cast<long>(rest / 1000));
}

std::int32_t DateNumberOf(const TLocalTime& t) {
  return static_cast<std::int32_t>(t.Year) * 10000 + static_cast<std::int32_t>(t.Month) * 100 +
         static_cast<std::int32_t>(t.Day);
}

std::int32_t TimeNumberOf(const TLocalTime& t) {
  return static_cast<std::int32_t>(t.Hour) * 10000 + static_cast<std::int32_t>(t.Minute) * 100 +
         static_cast<std::int32_t>(t.Second);
}

std::int32_t LocalDateNumber() { return DateNumberOf(GetLocalTime()); }

std::int32_t LocalTimeNumber() { return TimeNumberOf(GetLocalTime()); }

std::string FormatByMask(std::string_view Mask, std::int64_t Value) {
  // One entry per mask character: where its output text lies. Output text is
  // either the mask's own bytes or one of the fixed texts below.
  struct TPiece {
    const char* Text;
    std::size_t Length;
  };
  static constexpr char DigitChars[] = "0123456789";
  static constexpr char Blank[] = " ";
  static constexpr char Comma[] = ",";
  static constexpr char Minus[] = "-";

  std::array<TPiece, MaxMaskLength> pieces{};
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < Mask.size();) {
    if (count == MaxMaskLength) return std::string(MaskTooLongText);
    const std::size_t len = Utf8SequenceLength(Mask, pos);
    pieces[count++] = TPiece{Mask.data() + pos, len};
    pos += len;
  }

  // Magnitude in unsigned arithmetic, so INT64_MIN has a magnitude too.
  const bool negative = Value < 0;
  std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(Value) : static_cast<std::uint64_t>(Value);
  std::array<std::uint8_t, 20> digits{};  // least significant first
  std::size_t digitCount = 0;
  do {
    digits[digitCount++] = static_cast<std::uint8_t>(magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);

  std::size_t placed = 0;
  std::size_t leftmostDigit = 0;  // 1-based mask position; 0 = none placed
  for (std::size_t i = count; i-- > 0;) {
    TPiece& piece = pieces[i];
    if (piece.Length != 1) continue;
    const char ch = *piece.Text;
    const bool remain = placed < digitCount;
    if (ch == '9' || ch == 'Z' || ch == 'z') {
      if (remain) {
        piece = TPiece{DigitChars + digits[placed++], 1};
        leftmostDigit = i + 1;
      } else if (ch == '9') {
        piece = TPiece{DigitChars, 1};
      } else {
        piece = TPiece{Blank, 1};
      }
    } else if (ch == ',') {
      piece = remain ? TPiece{Comma, 1} : TPiece{Blank, 1};
    }
  }
  if (negative && leftmostDigit > 1) pieces[leftmostDigit - 2] = TPiece{Minus, 1};

  std::string out;
  out.reserve(Mask.size());
  for (std::size_t i = 0; i < count; ++i) out.append(pieces[i].Text, pieces[i].Length);
  return out;
}
