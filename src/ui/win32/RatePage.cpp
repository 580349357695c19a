#include "ui/win32/RatePage.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "support/FaultInjection.h"
#include "ui/win32/MainUnit.h"

namespace {

constexpr wchar_t ChartClass[] = L"TRateChart";
constexpr COLORREF SentColour = RGB(30, 100, 200);
constexpr COLORREF ReceivedColour = RGB(200, 70, 40);

// The colour at this opacity over white: the light area under a line.
COLORREF Light(COLORREF colour) {
  const auto mix = [](int part) { return static_cast<BYTE>((part * 40 + 255 * (255 - 40)) / 255); };
  return RGB(mix(GetRValue(colour)), mix(GetGValue(colour)), mix(GetBValue(colour)));
}

// The top of the scale: the first 1, 2 or 5 times a power of ten (from 10)
// at or above the peak, so the grid lines fall on round figures. In whole
// numbers: a logarithm a hair below a power of ten would hold the scale
// where it is for ever.
double ScaleTop(std::int64_t peak) {
  for (std::int64_t power = 10; power <= std::numeric_limits<std::int64_t>::max() / 10; power *= 10)
    for (const std::int64_t digit : {1, 2, 5})
      if (digit * power >= peak) return static_cast<double>(digit * power);
  return static_cast<double>(peak);
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void DrawLine(HDC dc, int x1, int y1, int x2, int y2) {
  MoveToEx(dc, x1, y1, nullptr);
  LineTo(dc, x2, y2);
}

void TextIn(HDC dc, RECT box, const std::wstring& text, UINT align) {
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, align | DT_SINGLELINE | DT_NOPREFIX);
}

int TextWidth(HDC dc, const std::wstring& text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

}  // namespace

std::wstring RateText(double bytesPerSecond) {
  const long long whole = std::llround(bytesPerSecond);
  std::wstring digits = std::to_wstring(whole < 0 ? -whole : whole);
  for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
    digits.insert(static_cast<std::size_t>(at), 1, L',');
  return (whole < 0 ? L"-" : L"") + digits + L" B/s";
}

void TRatePage::Create(HWND parent, const RECT& area, int comboId) {
  RegisterWindowClass(ChartClass, ChartProc, false);
  const int left = area.left, top = area.top, width = area.right - area.left, height = area.bottom - area.top;
  stRateCategory = ChildControl(parent, L"STATIC", L"サービス", 0, left + 6, top + 9, 60, 18);
  cbRateCategory =
      ChildControl(parent, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL, left + 70, top + 6, 150, 300, comboId);
  for (std::string_view name : ServiceCategoryNames)
    SendMessageW(cbRateCategory, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideText(name).c_str()));
  SendMessageW(cbRateCategory, CB_SETCURSEL, 0, 0);
  pbRate = CreateWindowExW(WS_EX_CLIENTEDGE, ChartClass, L"", WS_CHILD, left, top + 34, width, height - 74, parent,
                           nullptr, GetModuleHandleW(nullptr), this);
  SendMessageW(pbRate, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  stRateSnd = ChildControl(parent, L"STATIC", L"", SS_NOPREFIX, left + 6, top + height - 36, width - 12, 16);
  stRateRcv = ChildControl(parent, L"STATIC", L"", SS_NOPREFIX, left + 6, top + height - 18, width - 12, 16);
  ShowRates();
  Show(false);
}

void TRatePage::Show(bool visible) {
  for (HWND control : {stRateCategory, cbRateCategory, pbRate, stRateSnd, stRateRcv})
    ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

int TRatePage::Category() const {
  const auto chosen = static_cast<int>(SendMessageW(cbRateCategory, CB_GETCURSEL, 0, 0));
  return chosen < 0 ? 0 : chosen;
}

std::int64_t TRatePage::SecondAt(std::int64_t ms) const {
  return StartSecond + static_cast<std::int64_t>(std::llround(static_cast<double>(ms - StartMs) / 1000));
}

void TRatePage::CaptureStarted() {
  // The seconds go on from where they were, so the quiet time in between is
  // drawn as such.
  const std::int64_t ms = NowMs();
  StartSecond = SecondAt(ms);
  StartMs = ms;
  Rates.Restart(StartSecond);
}

void TRatePage::Tick(const RateBytes& totals) {
  Rates.Feed(SecondAt(NowMs()), totals);
  ShowRates();
}

void TRatePage::cbRateCategoryChange() { ShowRates(); }

void TRatePage::ShowRates() {
  const int category = Category();
  const auto text = [&](int direction, const wchar_t* name) {
    const TRateSummary s = Rates.Summary(direction, category);
    return std::wstring(name) + L"　現在 " + RateText(static_cast<double>(s.Current)) + L"　平均 " +
           RateText(s.Average) + L"　最大 " + RateText(static_cast<double>(s.Peak));
  };
  SetWindowTextW(stRateSnd, text(0, L"送信").c_str());
  SetWindowTextW(stRateRcv, text(1, L"受信").c_str());
  InvalidateRect(pbRate, nullptr, FALSE);
}

// Plain GDI: two lines of at most 600 points, drawn once a second, and only
// while the page is in view; off screen first, so the chart never flickers.
void TRatePage::PaintChart(HDC dc, const RECT& client) const {
  FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
  SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  const int category = Category();
  const double top = ScaleTop(std::max(Rates.Summary(0, category).Peak, Rates.Summary(1, category).Peak));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  const int line = metrics.tmHeight;
  const int left = TextWidth(dc, RateText(top)) + 10;
  const RECT plot{left, line + 6, client.right - 12, client.bottom - line - 6};
  const int plotWidth = plot.right - plot.left, plotHeight = plot.bottom - plot.top;
  if (plotWidth < 10 || plotHeight < 10) return;

  // Grid: a line every minute and at half and full scale, with their figures.
  HPEN grid = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
  HGDIOBJ oldPen = SelectObject(dc, grid);
  for (int minute = 0; minute <= 10; ++minute) {
    const int x = plot.left + plotWidth * minute / 10;
    DrawLine(dc, x, plot.top, x, plot.bottom);
  }
  for (int half = 0; half <= 2; ++half) {
    const int y = plot.bottom - plotHeight * half / 2;
    DrawLine(dc, plot.left, y, plot.right, y);
    TextIn(dc, {0, y - line / 2, left - 6, y + line - line / 2}, RateText(top * half / 2), DT_RIGHT | DT_VCENTER);
  }
  const RECT below{plot.left, plot.bottom + 2, plot.right, plot.bottom + 2 + line};
  TextIn(dc, below, L"10分前", DT_LEFT | DT_TOP);
  TextIn(dc, below, L"5分前", DT_CENTER | DT_TOP);
  TextIn(dc, below, L"現在", DT_RIGHT | DT_TOP);

  // The legend, above the plot on the right.
  int x = plot.right;
  for (int direction = 1; direction >= 0; --direction) {
    const std::wstring name = direction == 0 ? L"送信" : L"受信";
    x -= TextWidth(dc, name);
    TextIn(dc, {x, 2, x + TextWidth(dc, name), 2 + line}, name, DT_LEFT | DT_TOP);
    x -= line;
    HBRUSH swatch = CreateSolidBrush(direction == 0 ? SentColour : ReceivedColour);
    const RECT box{x, 2 + line / 6, x + line * 2 / 3, 2 + line / 6 + line * 2 / 3};
    FillRect(dc, &box, swatch);
    DeleteObject(swatch);
    x -= line;
  }

  // The newest second at the right edge; each line with a light area under it.
  const std::size_t count = Rates.Size();
  if (count > 0) {
    const double step = static_cast<double>(plotWidth) / (TRateHistory::Capacity - 1);
    for (int direction = 0; direction < 2; ++direction) {
      std::vector<POINT> points;
      points.reserve(count + 2);
      for (std::size_t i = 0; i < count; ++i) {
        const double value = static_cast<double>(Rates.Point(i, direction, category));
        points.push_back({static_cast<LONG>(std::lround(plot.right - static_cast<double>(count - 1 - i) * step)),
                          static_cast<LONG>(std::lround(plot.bottom - std::min(value / top, 1.0) * plotHeight))});
      }
      const COLORREF colour = direction == 0 ? SentColour : ReceivedColour;
      std::vector<POINT> area = points;
      area.push_back({points.back().x, plot.bottom});
      area.push_back({points.front().x, plot.bottom});
      HBRUSH fill = CreateSolidBrush(Light(colour));
      HGDIOBJ oldBrush = SelectObject(dc, fill);
      SelectObject(dc, GetStockObject(NULL_PEN));
      Polygon(dc, area.data(), static_cast<int>(area.size()));
      SelectObject(dc, oldBrush);
      DeleteObject(fill);
      HPEN pen = CreatePen(PS_SOLID, 2, colour);
      SelectObject(dc, pen);
      if (count == 1) DrawLine(dc, points[0].x - 2, points[0].y, points[0].x, points[0].y);
      else Polyline(dc, points.data(), static_cast<int>(points.size()));
      SelectObject(dc, grid);
      DeleteObject(pen);
    }
  }
  SelectObject(dc, oldPen);
  DeleteObject(grid);
}

LRESULT CALLBACK TRatePage::ChartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE)
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  const auto* page = reinterpret_cast<const TRatePage*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!page || message != WM_PAINT) return DefWindowProcW(window, message, wParam, lParam);
  return RunWindowEntry([&]() -> LRESULT {
    FaultPoint(TFaultPoint::Paint);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client{};
    GetClientRect(window, &client);
    HDC buffer = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ old = SelectObject(buffer, bitmap);
    page->PaintChart(buffer, client);
    BitBlt(dc, 0, 0, client.right, client.bottom, buffer, 0, 0, SRCCOPY);
    SelectObject(buffer, old);
    DeleteObject(bitmap);
    DeleteDC(buffer);
    EndPaint(window, &paint);
    return 0;
  });
}
