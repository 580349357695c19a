#include "ui/main/SortedRows.h"

TSortedRows::TSortedRows(QObject* parent) : TGuarded<QSortFilterProxyModel>(parent) {
  // Sorted when drawn: a re-sort per changed row would cost more than the
  // counting under a flood.
  setDynamicSortFilter(false);
}

void TSortedRows::Resort(bool now) {
  const auto start = std::chrono::steady_clock::now();
  if (sortColumn() < 0 || (!now && start < NextSort)) return;
  sort(sortColumn(), sortOrder());
  NextSort = start + 10 * (std::chrono::steady_clock::now() - start);
}

int TSortedRows::CompareRows(int a, int b, int column) const {
  const auto* keys = dynamic_cast<const TSortKeys*>(sourceModel());
  return keys ? keys->CompareRows(a, b, column) : 0;
}

bool TSortedRows::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  // The toolkit also sorts the (empty) child lists the tree view asks for;
  // their indexes are invalid in a flat table and compare equal.
  if (!left.isValid() || !right.isValid()) return false;
  return CompareRows(left.row(), right.row(), left.column()) < 0;
}
