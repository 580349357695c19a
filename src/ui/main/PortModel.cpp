#include "ui/main/PortModel.h"

#include <QCoreApplication>

#include "ui/main/SummaryModels.h"

namespace {

const char* const PortCaptions[] = {QT_TRANSLATE_NOOP("TSummaryHeader", "ポート"),
                                    QT_TRANSLATE_NOOP("TSummaryHeader", "サービス"),
                                    QT_TRANSLATE_NOOP("TSummaryHeader", "送信ﾊﾞｲﾄ数"),
                                    QT_TRANSLATE_NOOP("TSummaryHeader", "受信ﾊﾞｲﾄ数"), RateCaption};
constexpr int PortColumnCount = TPortModel::PortRateColumn + 1;

std::string RateKeyOf(const PortTotals& row) { return RowKey(static_cast<std::uint32_t>(row.Protocol) << 16 | row.Port); }

}  // namespace

TPortModel::TPortModel(const TCaptureSession& session, QObject* parent)
    : TFewRowsModel(PortColumnCount, PortRateColumn, parent), Session(session) {}

double TPortModel::Rate(const PortTotals& row) const { return Rates.Rate(RateKeyOf(row)); }

QString TPortModel::CellText(int row, int column) const {
  if (row < 0 || row >= ShownRows) return {};
  const PortTotals& r = Table().Row(row);
  switch (column) {
    case 0:
      return QString::fromStdString(PortText(r));
    case 1:
      return QString::fromStdString(r.Service);
    case 2:
      return QString::number(r.SentBytes);
    case 3:
      return QString::number(r.RecvBytes);
    case PortRateColumn:
      return QString::fromStdString(ReadableRate(Rate(r)));
    default:
      return {};
  }
}

void TPortModel::SampleRates() {
  Rates.Tick();
  for (int row = 0; row < Table().RowCount(); ++row) {
    const PortTotals& r = Table().Row(row);
    Rates.Sample(RateKeyOf(r), r.SentBytes + r.RecvBytes);
  }
  RatesSampled();
}

int TPortModel::CompareRows(int a, int b, int column) const {
  const PortTotals &x = Table().Row(a), &y = Table().Row(b);
  switch (column) {
    case 1:
      return x.Service != y.Service ? CompareValues(x.Service, y.Service) : CompareValues(a, b);
    case 2:
      return CompareValues(x.SentBytes, y.SentBytes);
    case 3:
      return CompareValues(x.RecvBytes, y.RecvBytes);
    case PortRateColumn:
      return CompareValues(Rate(x), Rate(y));
    default:  // the table's own order: by port
      return CompareValues(a, b);
  }
}

QVariant TPortModel::Data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::DisplayRole) return CellText(index.row(), index.column());
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (FigureColumn(index.column()) ? Qt::AlignRight : Qt::AlignLeft));
  return {};
}

QVariant TPortModel::HeaderData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= PortColumnCount) return {};
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (FigureColumn(section) ? Qt::AlignRight : Qt::AlignLeft));
  // The biggest figures first, as on the other pages.
  if (role == Qt::InitialSortOrderRole) return static_cast<int>(FigureColumn(section) ? Qt::DescendingOrder : Qt::AscendingOrder);
  if (role == Qt::DisplayRole) return QCoreApplication::translate("TSummaryHeader", PortCaptions[section]);
  return {};
}

void TPortModel::Refresh() { Show(Table().RowCount()); }

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_PortModel.cpp"
