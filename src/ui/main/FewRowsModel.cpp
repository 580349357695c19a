#include "ui/main/FewRowsModel.h"

TFewRowsModel::TFewRowsModel(int columnCount, int rateColumn, QObject* parent)
    : TGuardedModel<QAbstractTableModel>(parent), Columns(columnCount), RateColumn_(rateColumn) {}

void TFewRowsModel::Restarted() {
  ShownRows = 0;
  Rates.Clear();
  endResetModel();
}

void TFewRowsModel::Show(int rows) {
  if (rows != ShownRows) {
    beginResetModel();
    ShownRows = rows;
    endResetModel();
  } else if (rows > 0) {
    emit dataChanged(index(0, 0), index(rows - 1, Columns - 1), {Qt::DisplayRole});
  }
}

void TFewRowsModel::RatesSampled() {
  if (ShownRows > 0) emit dataChanged(index(0, RateColumn_), index(ShownRows - 1, RateColumn_), {Qt::DisplayRole});
}
