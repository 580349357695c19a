#include "ui/main/ProgramModel.h"

#include <QCoreApplication>

#include "capture/AddrTotals.h"
#include "ui/main/SummaryModels.h"

namespace {

const char* const ProgramCaptions[] = {QT_TRANSLATE_NOOP("TSummaryHeader", "プログラム"),
                                       QT_TRANSLATE_NOOP("TSummaryHeader", "ユーザー"),
                                       QT_TRANSLATE_NOOP("TSummaryHeader", "送信ﾊﾞｲﾄ数"),
                                       QT_TRANSLATE_NOOP("TSummaryHeader", "受信ﾊﾞｲﾄ数"), "PROT", "LASTTIME", RateCaption};
constexpr int ColumnCount = RateColumn + 1;

}  // namespace

TProgramModel::TProgramModel(TCaptureSession& session, QObject* parent)
    : TFewRowsModel(ColumnCount, RateColumn, parent), Session(session) {
  GuardedConnect(this, &TProgramModel::Answered, this, &TProgramModel::Refresh, Qt::QueuedConnection);
  // Look-up thread: only queues the refresh.
  Session.SetAnswered([this] { emit Answered(); });
}

TProgramModel::~TProgramModel() = default;

const TProgramTotalsTable* TProgramModel::Table() const { return Session.Programs(); }

QString TProgramModel::CellText(int row, int column) const {
  const TProgramTotalsTable* table = Table();
  if (!table || row < 0 || row >= ShownRows) return {};
  const ProgramTotals& r = table->Row(row);
  AddrTotals moment;
  moment.LastTime = r.LastTime;
  switch (column) {
    case 0:
      return QString::fromStdString(r.Program);
    case 1:
      return QString::fromStdString(r.User);
    case 2:
      return QString::number(r.SentBytes);
    case 3:
      return QString::number(r.RecvBytes);
    case 4:
      return CategoryText(r.LastCategory);
    case 5:
      return QString::fromStdString(TAddrTotalsTable::TimeText(moment));
    case RateColumn:
      return QString::fromStdString(ReadableRate(Rates.Rate(RateKey(r))));
    default:
      return {};
  }
}

std::string TProgramModel::RateKey(const ProgramTotals& row) { return row.Program + '\n' + row.User + '\n' + row.Unit; }

void TProgramModel::SampleRates() {
  const TProgramTotalsTable* table = Table();
  if (!table) return;
  Rates.Tick();
  for (int row = 0; row < table->RowCount(); ++row) {
    const ProgramTotals& r = table->Row(row);
    Rates.Sample(RateKey(r), r.SentBytes + r.RecvBytes);
  }
  RatesSampled();
}

int TProgramModel::CompareRows(int a, int b, int column) const {
  const TProgramTotalsTable* table = Table();
  if (!table) return 0;
  const ProgramTotals &x = table->Row(a), &y = table->Row(b);
  switch (column) {
    case 1:
      return x.User != y.User ? CompareValues(x.User, y.User) : CompareValues(a, b);
    case 2:
      return CompareValues(x.SentBytes, y.SentBytes);
    case 3:
      return CompareValues(x.RecvBytes, y.RecvBytes);
    case 4:
      return CompareValues(CategoryNameRank(x.LastCategory), CategoryNameRank(y.LastCategory));
    case 5:
      return CompareValues(x.LastUnixSeconds, y.LastUnixSeconds);
    case RateColumn:
      return CompareValues(Rates.Rate(RateKey(x)), Rates.Rate(RateKey(y)));
    default:  // the table's own order: by program
      return CompareValues(a, b);
  }
}

QVariant TProgramModel::Data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::DisplayRole) return CellText(index.row(), index.column());
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (FigureColumn(index.column()) ? Qt::AlignRight : Qt::AlignLeft));
  return {};
}

QVariant TProgramModel::HeaderData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) return {};
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (FigureColumn(section) ? Qt::AlignRight : Qt::AlignLeft));
  if (role == Qt::InitialSortOrderRole) return InitialSortOrder(section);
  if (role == Qt::DisplayRole) return QCoreApplication::translate("TSummaryHeader", ProgramCaptions[section]);
  return {};
}

void TProgramModel::Refresh() {
  const TProgramTotalsTable* table = Table();
  if (!table) return;
  Session.TakeAnswers();
  Show(table->RowCount());
}

void TProgramModel::Flush() {
  if (!Table()) return;
  Session.FlushPrograms();
  Refresh();
}

void TProgramFilter::Narrow(const std::unordered_set<TIpAddress, TIpAddressHash>* addresses) {
  Remotes = addresses;
  FilteredSize = addresses ? addresses->size() : 0;
  invalidateRowsFilter();
}

// The toolkit asks while it filters: an abandon point of its own.
bool TProgramFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  return GuardedValue<bool>([&] {
    if (!Remotes) return true;
    const auto* addresses = dynamic_cast<const TIPAdrModel*>(sourceModel());
    return addresses && sourceRow < addresses->Table().RowCount() &&
           Remotes->count(addresses->Table().Row(sourceRow).Addr) != 0;
  });
}

void TProgramFilter::ShowShares(const TProgramTotalsTable::TShares* shares) {
  Shares = shares;
  // The rates of the shares count from now.
  Rates.Restart();
  if (Shares)
    for (const auto& [address, share] : *Shares) Rates.Sample(RowKey(address), share.SentBytes + share.RecvBytes);
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), {Qt::DisplayRole});
}

void TProgramFilter::SampleRates() {
  Rates.Tick();
  if (!Shares) return;
  for (const auto& [address, share] : *Shares) Rates.Sample(RowKey(address), share.SentBytes + share.RecvBytes);
  if (rowCount() > 0) emit dataChanged(index(0, RateColumn), index(rowCount() - 1, RateColumn), {Qt::DisplayRole});
}

const TProgramTotalsTable::TShare* TProgramFilter::ShareOf(int sourceRow) const {
  const auto* addresses = dynamic_cast<const TIPAdrModel*>(sourceModel());
  if (!Shares || !addresses || sourceRow >= addresses->Table().RowCount()) return nullptr;
  const auto found = Shares->find(addresses->Table().Row(sourceRow).Addr);
  static const TProgramTotalsTable::TShare none;
  return found == Shares->end() ? &none : &found->second;
}

// The view asks while it paints: an abandon point of its own.
QVariant TProgramFilter::data(const QModelIndex& index, int role) const {
  return GuardedValue<QVariant>([&]() -> QVariant {
    const int column = index.column();
    const TProgramTotalsTable::TShare* share =
        role == Qt::DisplayRole && (column == 2 || column == 3 || column == RateColumn) ? ShareOf(mapToSource(index).row())
                                                                                         : nullptr;
    if (!share) return TSortedRows::data(index, role);
    if (column == RateColumn) return QString::fromStdString(ReadableRate(ShareRate(mapToSource(index).row())));
    return QString::number(column == 2 ? share->SentBytes : share->RecvBytes);
  });
}

int TProgramFilter::CompareRows(int a, int b, int column) const {
  const TProgramTotalsTable::TShare *x = ShareOf(a), *y = ShareOf(b);
  if (!x || !y || (column != 2 && column != 3 && column != RateColumn)) return TSortedRows::CompareRows(a, b, column);
  if (column == 2) return CompareValues(x->SentBytes, y->SentBytes);
  if (column == 3) return CompareValues(x->RecvBytes, y->RecvBytes);
  return CompareValues(ShareRate(a), ShareRate(b));
}

double TProgramFilter::ShareRate(int sourceRow) const {
  const auto* addresses = dynamic_cast<const TIPAdrModel*>(sourceModel());
  if (!addresses || sourceRow >= addresses->Table().RowCount()) return 0;
  return Rates.Rate(RowKey(addresses->Table().Row(sourceRow).Addr));
}

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_ProgramModel.cpp"
