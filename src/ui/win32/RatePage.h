#pragma once
// The summary page "推移" in the platform's own controls: bytes per second
// sent and received over the last ten minutes, for one service category or
// all, drawn with GDI, with the current, average and peak rate under the
// chart. It is fed once a second from the byte totals of the session, never
// per datagram.
#include <windows.h>

#include <cstdint>
#include <string>

#include "capture/RateHistory.h"

class TRatePage {
 public:
  // The page's controls, on Parent within Area; hidden until shown. The
  // category list sends its commands to Parent as ComboId.
  void Create(HWND Parent, const RECT& Area, int ComboId);
  void Show(bool Visible);
  // A capture starts: its counters begin again from zero.
  void CaptureStarted();
  // Once a second while a capture runs: the cumulative byte totals, then the
  // chart and texts again.
  void Tick(const RateBytes& Totals);
  // Another category was chosen.
  void cbRateCategoryChange();

  HWND stRateCategory = nullptr;
  HWND cbRateCategory = nullptr;
  HWND pbRate = nullptr;
  HWND stRateSnd = nullptr;
  HWND stRateRcv = nullptr;

 private:
  static LRESULT CALLBACK ChartProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  void PaintChart(HDC Dc, const RECT& Client) const;
  void ShowRates();
  int Category() const;
  std::int64_t SecondAt(std::int64_t Ms) const;

  TRateHistory Rates;
  // Seconds count from the capture's start, rounded, so a tick that comes a
  // little early or late still lands on its own second.
  std::int64_t StartMs = 0;
  std::int64_t StartSecond = 0;
};

// A rate as the page shows it: whole bytes per second, digits grouped.
std::wstring RateText(double BytesPerSecond);
