#pragma once
// What the pages of few rows (ports, programs) share: how many rows are
// shown, their rates, and how a refresh tells the view.
#include <QAbstractTableModel>

#include "ui/main/RowRates.h"
#include "ui/main/SortedRows.h"
#include "ui/trace/GuardedEntry.h"

class TFewRowsModel : public TGuardedModel<QAbstractTableModel>, public TSortKeys {
 public:
  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : ShownRows; }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : Columns; }

  // Around the session's restart at a capture start.
  void AboutToRestart() { beginResetModel(); }
  void Restarted();

 protected:
  TFewRowsModel(int ColumnCount, int RateColumn, QObject* parent);
  // The table now has Rows rows. Rows are few and new ones rare: a new one
  // resets the page, else every row may have changed.
  void Show(int Rows);
  // The rates of every row have been sampled.
  void RatesSampled();
  bool FigureColumn(int Column) const { return Column == 2 || Column == 3 || Column == RateColumn_; }

  TRowRates Rates;
  int ShownRows = 0;

 private:
  const int Columns;
  const int RateColumn_;
};
