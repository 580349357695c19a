// The rate history with a fed clock and fed counters.
#include "capture/RateHistory.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

TEST(RateHistoryTest, PointsAverageAndPeakThroughGapsAndRestarts) {
  // A step feeds the counters (sent total, received total and received DNS
  // Client all alike) at a second, or, without Bytes, restarts at it.
  struct TStep {
    std::int64_t Second;
    std::optional<std::int64_t> Bytes;
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
    std::vector<std::int64_t> Points;  // empty: not compared
    std::size_t Size;
    TRateSummary Summary;
  };
  const TCase cases[] = {
      {"steady ticks", {{10, 0}, {11, 100}, {12, 300}, {13, 300}}, {100, 200, 0}, 3, {0, 100, 200}},
      {"a missed tick shares its growth", {{0, 0}, {1, 100}, {3, 500}}, {100, 200, 200}, 3, {200, 500 / 3.0, 200}},
      {"the remainder goes to the newest", {{0, 0}, {3, 10}}, {3, 3, 4}, 3, {4, 10 / 3.0, 4}},
      {"the same second waits for the next", {{0, 0}, {1, 100}, {1, 150}, {2, 400}}, {100, 300}, 2, {300, 200, 300}},
      {"counters that fell began again", {{0, 0}, {1, 1000}, {2, 50}}, {1000, 50}, 2, {50, 525, 1000}},
      {"a new capture after a quiet while",
       {{0, 0}, {1, 1000}, {4, std::nullopt}, {5, 70}},
       {1000, 0, 0, 0, 70}, 5, {70, 214, 1000}},
      {"a restart first, then the first figures", {{7, std::nullopt}, {8, 90}}, {90}, 1, {90, 90, 90}},
      {"ten minutes are kept", {{0, 0}, {700, 7000}}, {}, TRateHistory::Capacity, {10, 10, 10}},
      {"one figure is no rate yet", {{0, 500}}, {}, 0, {0, 0, 0}},
  };
  for (const auto& c : cases) {
    TRateHistory history;
    for (const auto& step : c.Steps) {
      if (!step.Bytes) {
        history.Restart(step.Second);
        continue;
      }
      RateBytes bytes{};
      bytes[0][0] = bytes[1][0] = bytes[1][3] = *step.Bytes;  // [direction][category]
      history.Feed(step.Second, bytes);
    }
    ASSERT_EQ(history.Size(), c.Size) << c.Name;
    for (std::size_t i = 0; i < c.Points.size(); ++i) {
      EXPECT_EQ(history.Point(i, 0, 0), c.Points[i]) << c.Name << " point " << i;
      EXPECT_EQ(history.Point(i, 1, 3), c.Points[i]) << c.Name << " point " << i;
      EXPECT_EQ(history.Point(i, 0, 3), 0) << c.Name << " point " << i;
    }
    for (const auto& [direction, category] : {std::pair{0, 0}, std::pair{1, 3}}) {
      const TRateSummary s = history.Summary(direction, category);
      EXPECT_EQ(s.Current, c.Summary.Current) << c.Name;
      EXPECT_DOUBLE_EQ(s.Average, c.Summary.Average) << c.Name;
      EXPECT_EQ(s.Peak, c.Summary.Peak) << c.Name;
    }
  }
}

}  // namespace
