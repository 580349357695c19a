#pragma once
// The rows of a summary table in the order a click on a column header asks
// for. The figures change all the time, so the rows are put in order again
// when they are drawn (Resort), not at every change.
#include <QSortFilterProxyModel>
#include <chrono>
#include <string>

#include "ui/trace/GuardedEntry.h"

// A table whose rows can be ordered by any column: <0, 0 or >0 as row A's
// cell in Column comes before, with or after row B's.
class TSortKeys {
 public:
  virtual ~TSortKeys() = default;
  virtual int CompareRows(int RowA, int RowB, int Column) const = 0;
};

// <0, 0 or >0 as A is less than, equal to or greater than B.
template <class T>
int CompareValues(const T& A, const T& B) {
  return A < B ? -1 : B < A ? 1 : 0;
}

// The bytes of a value as a key of TRowRates (an address, whatever its size).
template <class T>
std::string RowKey(const T& Value) {
  return std::string(reinterpret_cast<const char*>(&Value), sizeof Value);
}

class TSortedRows : public TGuarded<QSortFilterProxyModel> {
 public:
  explicit TSortedRows(QObject* parent = nullptr);
  // The rows in the header's order again; nothing while in the table's own.
  // Sorting takes at most a tenth of the window's time: a big table is put
  // in order again only after nine times what its last sort took, unless
  // Now asks for it (the last figures of a capture).
  void Resort(bool Now = false);

 protected:
  // The table's order, unless a page shows other figures in a column.
  virtual int CompareRows(int SourceRowA, int SourceRowB, int Column) const;
  // Asked only inside sort(), which the window calls from its own handlers.
  bool lessThan(const QModelIndex& Left, const QModelIndex& Right) const override;

 private:
  std::chrono::steady_clock::time_point NextSort{};
};
