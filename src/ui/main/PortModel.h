#pragma once
// The window's page of traffic per transport and service port: a Qt model
// over the capture session's port table.
#include <QAbstractTableModel>

#include "session/CaptureSession.h"
#include "ui/main/RowRates.h"
#include "ui/main/SortedRows.h"
#include "ui/trace/GuardedEntry.h"

// Columns: port ("443/tcp"), service, bytes sent, bytes received, current
// rate; rows in port order, as the session's port table has them.
class TPortModel final : public TGuardedModel<QAbstractTableModel>, public TSortKeys {
  Q_OBJECT
 public:
  static constexpr int PortRateColumn = 4;

  explicit TPortModel(const TCaptureSession& Session, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;

  // Around the session's restart at a capture start.
  void AboutToRestart() { beginResetModel(); }
  void Restarted();
  // Shows the rows as they are now.
  void Refresh();
  const TPortTotalsTable& Table() const noexcept { return Session.Ports(); }
  QString CellText(int row, int column) const;
  // Once a second while a capture runs: the rates of every row.
  void SampleRates();
  int CompareRows(int RowA, int RowB, int Column) const override;

 protected:
  QVariant Data(const QModelIndex& index, int role) const override;
  QVariant HeaderData(int section, Qt::Orientation orientation, int role) const override;

 private:
  double Rate(const PortTotals& Row) const;
  const TCaptureSession& Session;
  TRowRates Rates;
  int ShownRows = 0;
};
