#include "ui/main/RowRates.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr std::int64_t Ring = TRowRates::Seconds + 1;
std::size_t Slot(std::int64_t second) { return static_cast<std::size_t>(((second % Ring) + Ring) % Ring); }
}  // namespace

void TRowRates::Clear() {
  Rows.clear();
  Now = Start = 0;
}

void TRowRates::Restart() {
  Rows.clear();
  Start = Now;
}

void TRowRates::Sample(const std::string& key, std::int64_t total) {
  auto [it, fresh] = Rows.try_emplace(key);
  TRow& row = it->second;
  if (fresh) {
    row.First = row.Last = Now;
  } else {
    // Seconds it was not sampled in kept the total it had.
    for (std::int64_t s = row.Last + 1; s < Now && s <= row.Last + Ring; ++s) row.Totals[Slot(s)] = row.Totals[Slot(row.Last)];
    row.Last = Now;
  }
  row.Totals[Slot(Now)] = total;
}

std::int64_t TRowRates::TotalAt(const TRow& row, std::int64_t second) const {
  if (second < row.First) return 0;
  return row.Totals[Slot(std::min(second, row.Last))];
}

double TRowRates::Rate(const std::string& key) const {
  const std::int64_t span = std::min<std::int64_t>(Seconds, Now - Start);
  const auto it = Rows.find(key);
  if (span <= 0 || it == Rows.end()) return 0;
  // A row sampled with Restart counts from that total; one seen later, from zero.
  const std::int64_t from = TotalAt(it->second, Now - span);
  return static_cast<double>(std::max<std::int64_t>(0, TotalAt(it->second, Now) - from)) / static_cast<double>(span);
}

std::string ReadableRate(double bytesPerSecond) {
  static const char* const Units[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
  std::size_t unit = 0;
  while (bytesPerSecond >= 999.5 && unit + 1 < std::size(Units)) {
    bytesPerSecond /= 1000;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%.0f %s", bytesPerSecond, Units[unit]);
  else
    std::snprintf(text, sizeof text, bytesPerSecond < 9.995 ? "%.2f %s" : bytesPerSecond < 99.95 ? "%.1f %s" : "%.0f %s",
                  bytesPerSecond, Units[unit]);
  return text;
}
