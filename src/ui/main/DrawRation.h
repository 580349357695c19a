#pragma once
// How often the figures of a flood are drawn: notifications come faster than
// anyone reads, so each takes the figures in, but they are drawn Burst at
// once, then at most one every IntervalMs; a lone datagram is drawn at once.
#include <algorithm>
#include <chrono>
#include <cmath>

class TDrawRation {
 public:
  static constexpr int IntervalMs = 40;
  static constexpr int Burst = 4;
  using TClock = std::chrono::steady_clock;

  // A notification came at Now. 0: draw now; a positive number: draw after
  // that many milliseconds; -1: the draw already waiting will show it.
  int Ask(TClock::time_point Now, bool DrawWaiting) {
    const double elapsed = std::chrono::duration<double, std::milli>(Now - TokensAt).count();
    Tokens = std::min<double>(Burst, Tokens + elapsed / IntervalMs);
    TokensAt = Now;
    if (Tokens >= 1) {
      Tokens -= 1;
      return 0;
    }
    if (DrawWaiting) return -1;
    Tokens -= 1;  // taken now by the draw that waits
    return std::max(1, static_cast<int>(std::ceil(-Tokens * IntervalMs)));
  }

 private:
  double Tokens = Burst;
  TClock::time_point TokensAt{};
};
