#include "ui/main/ClickProbe.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <algorithm>

TClickProbe::TClickProbe(QWidget* target, int intervalMs, QObject* parent) : TGuarded<QObject>(parent), Target(target) {
  Target->installEventFilter(this);
  Timer.setInterval(intervalMs);
  GuardedConnect(&Timer, &QTimer::timeout, this, &TClickProbe::Post);
  Timer.start();
}

TClickProbe::~TClickProbe() {
  if (Target) Target->removeEventFilter(this);
}

void TClickProbe::Post() {
  if (InFlight || !Target) return;  // one click at a time, as a hand gives them
  InFlight = true;
  PostedAt = std::chrono::steady_clock::now();
  const QPointF at(2, 2);
  QCoreApplication::postEvent(Target, new QMouseEvent(QEvent::MouseButtonPress, at, Target->mapToGlobal(at),
                                                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
  QCoreApplication::postEvent(Target, new QMouseEvent(QEvent::MouseButtonRelease, at, Target->mapToGlobal(at),
                                                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
}

bool TClickProbe::FilterEvent(QObject* watched, QEvent* event) {
  if (watched == Target && InFlight && event->type() == QEvent::MouseButtonRelease) {
    InFlight = false;
    Waits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - PostedAt).count());
  }
  return TGuarded<QObject>::FilterEvent(watched, event);
}

double TClickProbe::MedianMs() const {
  if (Waits.empty()) return 0;
  std::vector<double> sorted = Waits;
  std::sort(sorted.begin(), sorted.end());
  return sorted[sorted.size() / 2];
}

double TClickProbe::MaxMs() const { return Waits.empty() ? 0 : *std::max_element(Waits.begin(), Waits.end()); }
