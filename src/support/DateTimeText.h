#pragma once
// Date and time as numbers, a calendar reading of the clock, and digits laid
// into a fixed-width mask.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Local calendar time, field for field as the program uses it.
struct TLocalTime {
  std::uint16_t Year = 0;
  std::uint16_t Month = 0;      // 1..12
  std::uint16_t DayOfWeek = 0;  // 0 = Sunday
  std::uint16_t Day = 0;        // 1..31
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint16_t Millisecond = 0;
};

// The current local time.
TLocalTime GetLocalTime();
// A moment given as seconds and microseconds since the epoch (a capture time
// stamp, say), in local time.
TLocalTime LocalTimeOf(std::time_t seconds, std::int64_t microseconds);

// year * 10000 + month * 100 + day, and hour * 10000 + minute * 100 + second.
std::int32_t DateNumberOf(const TLocalTime& t);
std::int32_t TimeNumberOf(const TLocalTime& t);
// Each reads the clock once.
std::int32_t LocalDateNumber();
std::int32_t LocalTimeNumber();

// The text FormatByMask returns for a mask longer than 254 characters.
inline constexpr std::string_view MaskTooLongText = "Ｍａｓｋ文字が長すぎます";
inline constexpr std::size_t MaxMaskLength = 254;

// Lays the decimal digits of Value into Mask from the right: "9" takes a
// digit or "0", "Z"/"z" a digit or a blank, "," stays while digits remain,
// anything else stands for itself. Mask and result are UTF-8; lengths count
// characters.
std::string FormatByMask(std::string_view Mask, std::int64_t Value);
