#include "capture/RateHistory.h"

#include <algorithm>
#include <stdexcept>

void TRateHistory::Feed(std::int64_t second, const RateBytes& bytes) {
  if (!Based) {
    Base = bytes;
    Last = second;
    Based = true;
    return;
  }
  if (second <= Last) return;
  bool restarted = false;
  for (std::size_t d = 0; d < 2; ++d)
    for (std::size_t c = 0; c < ServiceCategoryCount; ++c) restarted = restarted || bytes[d][c] < Base[d][c];
  RateBytes growth = bytes;
  if (!restarted)
    for (std::size_t d = 0; d < 2; ++d)
      for (std::size_t c = 0; c < ServiceCategoryCount; ++c) growth[d][c] -= Base[d][c];
  Spread(growth, second - Last);
  Base = bytes;
  Last = second;
}

void TRateHistory::Restart(std::int64_t second) {
  if (Based && second > Last) Spread(RateBytes{}, second - Last);
  if (!Based || second > Last) Last = second;
  Base = RateBytes{};
  Based = true;
}

void TRateHistory::Spread(const RateBytes& growth, std::int64_t seconds) {
  // Whole bytes: the remainder goes to the newest points, so the points add
  // up to the growth exactly.
  const std::int64_t kept = std::min<std::int64_t>(seconds, Capacity);
  for (std::int64_t i = seconds - kept; i < seconds; ++i) {
    RateBytes point{};
    for (std::size_t d = 0; d < 2; ++d)
      for (std::size_t c = 0; c < ServiceCategoryCount; ++c) {
        const std::int64_t g = growth[d][c];
        point[d][c] = g / seconds + (i >= seconds - g % seconds ? 1 : 0);
      }
    Push(point);
  }
}

void TRateHistory::Push(const RateBytes& perSecond) {
  if (Count < Capacity) {
    Ring[(First + Count) % Capacity] = perSecond;
    ++Count;
  } else {
    Ring[First] = perSecond;
    First = (First + 1) % Capacity;
  }
}

std::int64_t TRateHistory::Point(std::size_t index, int direction, int category) const {
  if (index >= Count) throw std::out_of_range("rate point beyond the history");
  return Ring[(First + index) % Capacity].at(static_cast<std::size_t>(direction)).at(static_cast<std::size_t>(category));
}

TRateSummary TRateHistory::Summary(int direction, int category) const {
  TRateSummary summary;
  if (Count == 0) return summary;
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < Count; ++i) {
    const std::int64_t v = Point(i, direction, category);
    sum += v;
    summary.Peak = std::max(summary.Peak, v);
  }
  summary.Current = Point(Count - 1, direction, category);
  summary.Average = static_cast<double>(sum) / static_cast<double>(Count);
  return summary;
}
