#include "ui/main/ProgramModel.h"

#include <QCoreApplication>

#include "capture/AddrTotals.h"
#include "ui/main/SummaryModels.h"

namespace {

const char* const ProgramCaptions[] = {QT_TRANSLATE_NOOP("TSummaryHeader", "プログラム"),
                                       QT_TRANSLATE_NOOP("TSummaryHeader", "ユーザー"),
                                       QT_TRANSLATE_NOOP("TSummaryHeader", "送信ﾊﾞｲﾄ数"),
                                       QT_TRANSLATE_NOOP("TSummaryHeader", "受信ﾊﾞｲﾄ数"), "PROT", "LASTTIME"};
constexpr int ColumnCount = 6;

}  // namespace

TProgramModel::TProgramModel(TCaptureSession& session, QObject* parent)
    : TGuardedModel<QAbstractTableModel>(parent), Session(session) {
  GuardedConnect(this, &TProgramModel::Answered, this, &TProgramModel::Refresh, Qt::QueuedConnection);
  // Look-up thread: only queues the refresh.
  Session.SetAnswered([this] { emit Answered(); });
}

TProgramModel::~TProgramModel() = default;

int TProgramModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ShownRows; }
int TProgramModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

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
      return QString::fromUtf8(ServiceCategoryNames[std::min<std::size_t>(r.LastCategory, ServiceCategoryCount - 1)].data());
    case 5:
      return QString::fromStdString(TAddrTotalsTable::TimeText(moment));
    default:
      return {};
  }
}

QVariant TProgramModel::Data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::DisplayRole) return CellText(index.row(), index.column());
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter |
                               (index.column() == 2 || index.column() == 3 ? Qt::AlignRight : Qt::AlignLeft));
  return {};
}

QVariant TProgramModel::HeaderData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) return {};
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignVCenter | (section == 2 || section == 3 ? Qt::AlignRight : Qt::AlignLeft));
  if (role == Qt::DisplayRole) return QCoreApplication::translate("TSummaryHeader", ProgramCaptions[section]);
  return {};
}

void TProgramModel::Restarted() {
  ShownRows = 0;
  endResetModel();
}

void TProgramModel::Refresh() {
  const TProgramTotalsTable* table = Table();
  if (!table) return;
  Session.TakeAnswers();
  const int rows = table->RowCount();
  // Programs are few: new ones reset the page, else every row may have changed.
  if (rows != ShownRows) {
    beginResetModel();
    ShownRows = rows;
    endResetModel();
  } else if (rows > 0) {
    emit dataChanged(index(0, 0), index(rows - 1, ColumnCount - 1), {Qt::DisplayRole});
  }
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
