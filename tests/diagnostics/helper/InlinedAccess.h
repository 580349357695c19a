#pragma once
#include <memory>

struct TGauge {
  int Value = 0;
};

struct TPanel {
  std::unique_ptr<TGauge> Gauge;
};

// Reads the gauge through the panel's smart pointer, -1 without one; a null
// panel faults inside the inlined accessor.
[[gnu::noinline]] int ReadGauge(const TPanel* Panel);
