#pragma once
// Bytes per second of the last ten minutes, one point a second, for each
// direction and service category. Fed once a second with the cumulative byte
// counters a front end already keeps, so it costs nothing per datagram; the
// time is fed too, in whole seconds from any fixed origin.
#include <array>
#include <cstddef>
#include <cstdint>

#include "catalogue/Global.h"

// Cumulative bytes, or bytes of one second: [direction][category], category 0
// being the direction's total.
using RateBytes = std::array<std::array<std::int64_t, ServiceCategoryCount>, 2>;

struct TRateSummary {
  std::int64_t Current = 0;  // bytes per second of the newest point
  double Average = 0;        // over the points held
  std::int64_t Peak = 0;
};

class TRateHistory {
 public:
  static constexpr std::size_t Capacity = 600;

  // The counters as they stand at Second. The first feed only sets the base.
  // A later second adds a point per second since the last feed, the growth
  // shared evenly among them (a missed tick gives two halves, not a double
  // and a gap); the same or an earlier second is ignored, so its growth goes
  // to the next point. Counters below the last ones have started again from
  // zero.
  void Feed(std::int64_t Second, const RateBytes& Bytes);
  // The counters start again from zero at Second (a new capture); the
  // seconds since the last feed were quiet.
  void Restart(std::int64_t Second);

  std::size_t Size() const noexcept { return Count; }
  bool HasBase() const noexcept { return Based; }
  std::int64_t LastSecond() const noexcept { return Last; }
  // Bytes in one second; Index 0 is the oldest point held.
  std::int64_t Point(std::size_t Index, int Direction, int Category) const;
  // Of one direction and category (0 for all).
  TRateSummary Summary(int Direction, int Category) const;

 private:
  void Push(const RateBytes& PerSecond);
  // Spreads Growth over Seconds points; only the last Capacity are kept.
  void Spread(const RateBytes& Growth, std::int64_t Seconds);

  std::array<RateBytes, Capacity> Ring{};
  std::size_t First = 0;
  std::size_t Count = 0;
  RateBytes Base{};
  std::int64_t Last = 0;
  bool Based = false;
};
