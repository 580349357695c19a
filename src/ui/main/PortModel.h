#pragma once
// The window's page of traffic per transport and service port: a Qt model
// over the capture session's port table.
#include "session/CaptureSession.h"
#include "ui/main/FewRowsModel.h"

// Columns: port ("443/tcp"), service, bytes sent, bytes received, current
// rate; rows in port order, as the session's port table has them.
class TPortModel final : public TFewRowsModel {
  Q_OBJECT
 public:
  static constexpr int PortRateColumn = 4;

  explicit TPortModel(const TCaptureSession& Session, QObject* parent = nullptr);
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
};
