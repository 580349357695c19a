#pragma once
// The current rate of each row of a table: its byte total sampled once a
// second, and the bytes of the last few seconds divided by their number.
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

class TRowRates {
 public:
  static constexpr int Seconds = 5;

  // A capture starts: no row has a past.
  void Clear();
  // The rows sampled next begin here; those sampled with it count from the
  // totals they have now, not from zero.
  void Restart();
  // Once a second, before the rows are sampled.
  void Tick() { ++Now; }
  // A row's total at this second; a row first seen now had nothing before.
  void Sample(const std::string& Key, std::int64_t Total);
  // Bytes per second over the last Seconds seconds (fewer, early on).
  double Rate(const std::string& Key) const;

 private:
  struct TRow {
    std::array<std::int64_t, Seconds + 1> Totals{};  // by second, modulo
    std::int64_t First = 0, Last = 0;
  };
  std::int64_t TotalAt(const TRow& Row, std::int64_t Second) const;
  std::unordered_map<std::string, TRow> Rows;
  std::int64_t Now = 0, Start = 0;
};

// A rate for people: "0 B/s", "950 B/s", "12.3 kB/s", "4.50 MB/s".
std::string ReadableRate(double BytesPerSecond);
