#pragma once
// The summary page "推移": bytes per second sent and received over the last
// ten minutes, for one service category or all, with the current, average and
// peak rate under the chart. It is fed once a second from the byte totals the
// window already keeps, never per datagram.
#include <QComboBox>
#include <QLabel>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "capture/RateHistory.h"
#include "ui/trace/GuardedEntry.h"

class TProtModel;

class TRatePage final : public TGuarded<QWidget> {
  Q_OBJECT
 public:
  explicit TRatePage(QWidget* parent = nullptr);

  // A capture starts: its counters begin again from zero.
  void CaptureStarted();
  // Once a second while a capture runs: the totals as the protocol table has
  // them, then the chart and texts again.
  void Tick(const TProtModel& Totals);

  const TRateHistory& History() const noexcept { return Rates; }
  int Category() const { return cbRateCategory->currentIndex(); }
  // A steady clock in milliseconds; replaceable for tests.
  std::function<std::int64_t()> Clock;

  QComboBox* cbRateCategory;
  QWidget* pbRate;
  QLabel* stRateSnd;
  QLabel* stRateRcv;

 private:
  void ShowRates();
  std::int64_t SecondAt(std::int64_t Ms) const;

  TRateHistory Rates;
  // Seconds count from the capture's start, rounded, so a tick that comes a
  // little early or late still lands on its own second.
  std::int64_t StartMs = 0;
  std::int64_t StartSecond = 0;
};

// A rate as the page shows it: whole bytes per second, digits grouped by the
// user's locale.
QString RateText(double BytesPerSecond);
