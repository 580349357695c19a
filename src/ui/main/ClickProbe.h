#pragma once
// Measures how long a click waits in the window thread's queue: every so
// often a click is posted to a widget, and the time until the widget gets it
// is kept. For the automated runs (--quit-after) that benchmarks read.
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <vector>

#include "ui/trace/GuardedEntry.h"

class TClickProbe final : public TGuarded<QObject> {
 public:
  // Target should react to a click harmlessly (a read-only text box).
  TClickProbe(QWidget* Target, int IntervalMs, QObject* parent = nullptr);
  ~TClickProbe() override;

  int Count() const noexcept { return static_cast<int>(Waits.size()); }
  double MedianMs() const;
  double MaxMs() const;

 protected:
  bool FilterEvent(QObject* Watched, QEvent* Event) override;

 private:
  void Post();

  QPointer<QWidget> Target;
  QTimer Timer;
  bool InFlight = false;
  std::chrono::steady_clock::time_point PostedAt;
  std::vector<double> Waits;
};
