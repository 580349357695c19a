#include "ui/main/RatePage.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "diagnostics/TraceReport.h"
#include "support/FaultInjection.h"
#include "ui/main/SummaryModels.h"

namespace {

const QColor SentColour(30, 100, 200);
const QColor ReceivedColour(200, 70, 40);

// The top of the scale: the first 1, 2 or 5 times a power of ten at or above
// the peak, so the grid lines fall on round figures.
double ScaleTop(std::int64_t peak) {
  double top = 10;
  while (top < static_cast<double>(peak)) {
    const double power = std::pow(10, std::floor(std::log10(top)));
    const double digit = std::round(top / power);
    top = (digit < 2 ? 2 : digit < 5 ? 5 : 10) * power;
  }
  return top;
}

// Plain painting rather than a chart library: two lines of at most 600 points,
// redrawn once a second, and only while the page is in view.
class TRateChart final : public TGuarded<QWidget> {
 public:
  explicit TRateChart(TRatePage* page) : TGuarded<QWidget>(page), Page(page) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    FaultPoint(TFaultPoint::Paint);
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const TRateHistory& history = Page->History();
    const int category = Page->Category();
    const double top = ScaleTop(std::max(history.Summary(0, category).Peak, history.Summary(1, category).Peak));
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    const int left = metrics.horizontalAdvance(RateText(top)) + 10;
    const QRectF plot(left, line + 6, width() - left - 12, height() - 2 * line - 12);
    if (plot.width() < 10 || plot.height() < 10) return;

    // Grid: a line every minute and at half and full scale, with their figures.
    p.setPen(palette().color(QPalette::Mid));
    for (int minute = 0; minute <= 10; ++minute) {
      const double x = plot.left() + plot.width() * minute / 10;
      p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    }
    for (int half = 0; half <= 2; ++half) {
      const double y = plot.bottom() - plot.height() * half / 2;
      p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    }
    p.setPen(palette().color(QPalette::Text));
    for (int half = 0; half <= 2; ++half) {
      const double y = plot.bottom() - plot.height() * half / 2;
      p.drawText(QRectF(0, y - line / 2.0, left - 6, line), Qt::AlignRight | Qt::AlignVCenter,
                 RateText(top * half / 2));
    }
    const QRectF below(plot.left(), plot.bottom() + 2, plot.width(), line);
    p.drawText(below, Qt::AlignLeft | Qt::AlignTop, TRatePage::tr("10分前"));
    p.drawText(below, Qt::AlignHCenter | Qt::AlignTop, TRatePage::tr("5分前"));
    p.drawText(below, Qt::AlignRight | Qt::AlignTop, TRatePage::tr("現在"));

    // The legend, above the plot on the right.
    int x = static_cast<int>(plot.right());
    for (int direction = 1; direction >= 0; --direction) {
      const QString name = direction == 0 ? TRatePage::tr("送信") : TRatePage::tr("受信");
      x -= metrics.horizontalAdvance(name);
      p.drawText(QPoint(x, line), name);
      x -= line;
      p.fillRect(QRect(x, line / 4, line * 2 / 3, line * 2 / 3), direction == 0 ? SentColour : ReceivedColour);
      x -= line;
    }

    // The newest second at the right edge; each line with a light area under it.
    const std::size_t count = history.Size();
    if (count == 0) return;
    const double step = plot.width() / (TRateHistory::Capacity - 1);
    p.setRenderHint(QPainter::Antialiasing);
    for (int direction = 0; direction < 2; ++direction) {
      QPolygonF points;
      points.reserve(static_cast<qsizetype>(count) + 2);
      for (std::size_t i = 0; i < count; ++i) {
        const double value = static_cast<double>(history.Point(i, direction, category));
        points << QPointF(plot.right() - static_cast<double>(count - 1 - i) * step,
                          plot.bottom() - std::min(value / top, 1.0) * plot.height());
      }
      QColor colour = direction == 0 ? SentColour : ReceivedColour;
      p.setPen(QPen(colour, 1.5));
      p.drawPolyline(points);
      QPolygonF area = points;
      area << QPointF(points.back().x(), plot.bottom()) << QPointF(points.front().x(), plot.bottom());
      colour.setAlpha(40);
      p.setPen(Qt::NoPen);
      p.setBrush(colour);
      p.drawPolygon(area);
    }
  }

 private:
  TRatePage* Page;
};

}  // namespace

QString RateText(double bytesPerSecond) {
  return QLocale().toString(static_cast<qlonglong>(std::llround(bytesPerSecond))) + QStringLiteral(" B/s");
}

TRatePage::TRatePage(QWidget* parent) : TGuarded<QWidget>(parent) {
  Clock = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(tr("サービス"), this));
  cbRateCategory = new QComboBox(this);
  for (std::size_t c = 0; c < ServiceCategoryCount; ++c) cbRateCategory->addItem(CategoryText(static_cast<std::uint8_t>(c)));
  row->addWidget(cbRateCategory);
  row->addStretch();
  layout->addLayout(row);
  pbRate = new TRateChart(this);
  layout->addWidget(pbRate, 1);
  stRateSnd = new QLabel(this);
  stRateRcv = new QLabel(this);
  layout->addWidget(stRateSnd);
  layout->addWidget(stRateRcv);
  GuardedConnect(cbRateCategory, &QComboBox::currentIndexChanged, this, &TRatePage::ShowRates);
  ShowRates();
}

std::int64_t TRatePage::SecondAt(std::int64_t ms) const {
  return StartSecond + static_cast<std::int64_t>(std::llround(static_cast<double>(ms - StartMs) / 1000));
}

void TRatePage::CaptureStarted() {
  // The seconds go on from where they were, so the quiet time in between is
  // drawn as such.
  const std::int64_t ms = Clock();
  StartSecond = SecondAt(ms);
  StartMs = ms;
  Rates.Restart(StartSecond);
}

void TRatePage::Tick(const TProtModel& totals) {
  RateBytes bytes{};
  for (int d = 0; d < 2; ++d)
    for (int c = 0; c < ServiceCategoryCount; ++c)
      bytes[static_cast<std::size_t>(d)][static_cast<std::size_t>(c)] = totals.Bytes(c, d);
  Rates.Feed(SecondAt(Clock()), bytes);
  ShowRates();
}

void TRatePage::ShowRates() {
  const int category = Category();
  const auto text = [&](int direction, const QString& name) {
    const TRateSummary s = Rates.Summary(direction, category);
    return tr("%1　現在 %2　平均 %3　最大 %4")
        .arg(name, RateText(static_cast<double>(s.Current)), RateText(s.Average), RateText(static_cast<double>(s.Peak)));
  };
  stRateSnd->setText(text(0, tr("送信")));
  stRateRcv->setText(text(1, tr("受信")));
  pbRate->update();
}

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_RatePage.cpp"
