#include "ui/main/SummaryModels.h"

#include <QCoreApplication>
#include <algorithm>
#include <vector>

#include "support/FaultInjection.h"

namespace {

// Column captions, translated where they are shown.
const std::vector<const char*> ProtCaptions = {QT_TRANSLATE_NOOP("TSummaryHeader", "Protocol"),
                                               QT_TRANSLATE_NOOP("TSummaryHeader", "送信バイト数"),
                                               QT_TRANSLATE_NOOP("TSummaryHeader", "受信ﾊﾞｲﾄ数")};
const std::vector<const char*> IPAdrCaptions = {
    "#", "IP-Address", QT_TRANSLATE_NOOP("TSummaryHeader", "送信ﾊﾞｲﾄ数"),
    QT_TRANSLATE_NOOP("TSummaryHeader", "受信ﾊﾞｲﾄ数"), "PROT", "LASTTIME", RateCaption,
    QT_TRANSLATE_NOOP("TSummaryHeader", "ホスト名")};

QVariant Caption(const std::vector<const char*>& captions, int section, Qt::Orientation orientation, int role) {
  if (orientation != Qt::Horizontal || section < 0 || static_cast<std::size_t>(section) >= captions.size()) return {};
  if (role == Qt::DisplayRole) return QCoreApplication::translate("TSummaryHeader", captions[static_cast<std::size_t>(section)]);
  return {};
}

QString Name(std::uint8_t category) { return CategoryText(category); }

bool RightAligned(int column) { return column == 2 || column == 3 || column == RateColumn; }

}  // namespace

QString CategoryText(std::uint8_t category) {
  // "Sonota" is "other" to an English reader; the names in reports and metrics stay.
  return QCoreApplication::translate(
      "TCategory", ServiceCategoryNames[std::min<std::size_t>(category, ServiceCategoryCount - 1)].data());
}

const char* const RateCaption = QT_TRANSLATE_NOOP("TSummaryHeader", "現在の速度");

QVariant InitialSortOrder(int section) {
  const bool biggestFirst = section == 2 || section == 3 || section == 5 || section == RateColumn;
  return static_cast<int>(biggestFirst ? Qt::DescendingOrder : Qt::AscendingOrder);
}

int CategoryNameRank(std::uint8_t category) {
  static const std::array<int, ServiceCategoryCount> ranks = [] {
    std::array<std::size_t, ServiceCategoryCount> order{};
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [](std::size_t a, std::size_t b) { return ServiceCategoryNames[a] < ServiceCategoryNames[b]; });
    std::array<int, ServiceCategoryCount> rank{};
    for (std::size_t i = 0; i < order.size(); ++i) rank[order[i]] = static_cast<int>(i);
    return rank;
  }();
  return ranks[std::min<std::size_t>(category, ServiceCategoryCount - 1)];
}

TProtModel::TProtModel(QObject* parent) : TGuardedModel<QAbstractTableModel>(parent) {}

int TProtModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ServiceCategoryCount; }
int TProtModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant TProtModel::Data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  FaultPoint(TFaultPoint::ModelData);
  const auto row = static_cast<std::size_t>(index.row());
  if (role == Qt::DisplayRole) {
    if (index.column() == 0) return Name(static_cast<std::uint8_t>(row));
    return QString::number(Values[static_cast<std::size_t>(index.column() - 1)][row]);
  }
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (index.column() == 0 ? Qt::AlignLeft : Qt::AlignRight));
  return {};
}

QVariant TProtModel::HeaderData(int section, Qt::Orientation orientation, int role) const {
  if (role == Qt::TextAlignmentRole && orientation == Qt::Horizontal)
    return QVariant::fromValue(Qt::AlignVCenter | (section == 0 ? Qt::AlignLeft : Qt::AlignRight));
  return Caption(ProtCaptions, section, orientation, role);
}

void TProtModel::Refresh(const CategoryCounters& Counters) {
  // The rows from the first to the last that changed, in one announcement.
  int first = -1, last = -1;
  for (std::size_t row = 0; row < ServiceCategoryCount; ++row) {
    bool changed = false;
    for (std::size_t d = 0; d < 2; ++d) {
      changed |= Values[d][row] != Counters[d][KindBytes][row];
      Values[d][row] = Counters[d][KindBytes][row];
    }
    if (!changed) continue;
    if (first < 0) first = static_cast<int>(row);
    last = static_cast<int>(row);
  }
  if (first >= 0) emit dataChanged(index(first, 1), index(last, 2), {Qt::DisplayRole});
}

std::int64_t TProtModel::Bytes(int row, int direction) const {
  return Values.at(static_cast<std::size_t>(direction)).at(static_cast<std::size_t>(row));
}

TIPAdrModel::TIPAdrModel(const TCaptureSession& session, QObject* parent)
    : TGuardedModel<QAbstractTableModel>(parent), Session(session) {
  GuardedConnect(this, &TIPAdrModel::NamesArrived, this, &TIPAdrModel::ShowNames, Qt::QueuedConnection);
}

void TIPAdrModel::NamesChanged() {
  // Many answers in a row are drawn once.
  if (!NamesPending.exchange(true)) emit NamesArrived();
}

void TIPAdrModel::ShowNames() {
  NamesPending.store(false);
  if (const int rows = Table().RowCount(); rows > 0)
    emit dataChanged(index(0, NameColumn), index(rows - 1, NameColumn), {Qt::DisplayRole});
}

int TIPAdrModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Table().RowCount(); }
int TIPAdrModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : NameColumn + 1; }

QString TIPAdrModel::CellText(int row, int column) const {
  const AddrTotals& r = Table().Row(row);
  switch (column) {
    case 0:
      return QStringLiteral("**");
    case 1:
      return QString::fromStdString(TAddrTotalsTable::AddressText(r.Addr));
    case 2:
      return QString::number(r.SentBytes);
    case 3:
      return QString::number(r.RecvBytes);
    case 4:
      return Name(r.LastCategory);
    case 5:
      return QString::fromStdString(TAddrTotalsTable::TimeText(r));
    case RateColumn:
      return QString::fromStdString(ReadableRate(Rates.Rate(RowKey(r.Addr))));
    case NameColumn:
      return QString::fromStdString(Session.HostName(r.Addr));
    default:
      return {};
  }
}

void TIPAdrModel::SampleRates() {
  Rates.Tick();
  const int rows = Table().RowCount();
  for (int row = 0; row < rows; ++row) {
    const AddrTotals& r = Table().Row(row);
    Rates.Sample(RowKey(r.Addr), r.SentBytes + r.RecvBytes);
  }
  if (rows > 0) emit dataChanged(index(0, RateColumn), index(rows - 1, RateColumn), {Qt::DisplayRole});
}

int TIPAdrModel::CompareRows(int a, int b, int column) const {
  const AddrTotals &x = Table().Row(a), &y = Table().Row(b);
  switch (column) {
    case 2:
      return CompareValues(x.SentBytes, y.SentBytes);
    case 3:
      return CompareValues(x.RecvBytes, y.RecvBytes);
    case 4:
      return CompareValues(CategoryNameRank(x.LastCategory), CategoryNameRank(y.LastCategory));
    case 5:
      return CompareValues(x.LastUnixSeconds, y.LastUnixSeconds);
    case RateColumn:
      return CompareValues(Rates.Rate(RowKey(x.Addr)), Rates.Rate(RowKey(y.Addr)));
    case NameColumn:
      return CompareValues(Session.HostName(x.Addr), Session.HostName(y.Addr));
    default:  // the table's own order: by address
      return CompareValues(a, b);
  }
}

QVariant TIPAdrModel::Data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Table().RowCount()) return {};
  if (role == Qt::DisplayRole) return CellText(index.row(), index.column());
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (RightAligned(index.column()) ? Qt::AlignRight : Qt::AlignLeft));
  return {};
}

QVariant TIPAdrModel::HeaderData(int section, Qt::Orientation orientation, int role) const {
  if (role == Qt::TextAlignmentRole && orientation == Qt::Horizontal)
    return QVariant::fromValue(Qt::AlignVCenter | (RightAligned(section) ? Qt::AlignRight : Qt::AlignLeft));
  if (role == Qt::InitialSortOrderRole) return InitialSortOrder(section);
  return Caption(IPAdrCaptions, section, orientation, role);
}

void TIPAdrModel::BeginTake() { FaultPoint(TFaultPoint::TableModel); }

void TIPAdrModel::ShowChanged() {
  if (FirstChanged < 0) return;
  const int first = FirstChanged, last = LastChanged;
  FirstChanged = LastChanged = -1;
  emit dataChanged(index(first, 2), index(last, 5), {Qt::DisplayRole});
}

void TIPAdrModel::RowAboutToBeInserted(int Row) { beginInsertRows({}, Row, Row); }

void TIPAdrModel::RowInserted(int Row) {
  endInsertRows();
  if (FirstChanged >= Row) ++FirstChanged;
  if (LastChanged >= Row) ++LastChanged;
}

bool TIPAdrModel::BeginRefill() {
  beginResetModel();
  return true;
}

// Every row is read again: none is left to announce as changed.
void TIPAdrModel::EndRefill() {
  endResetModel();
  FirstChanged = LastChanged = -1;
}

void TIPAdrModel::RowChanged(int Row) {
  FirstChanged = FirstChanged < 0 ? Row : std::min(FirstChanged, Row);
  LastChanged = std::max(LastChanged, Row);
}

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_SummaryModels.cpp"
