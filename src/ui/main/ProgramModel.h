#pragma once
// The window's page of traffic per program: a Qt model over the capture
// core's program table, and the filter that narrows the address page to one
// program's remote addresses.
#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <memory>
#include <unordered_set>

#include "capture/ProgramTotals.h"
#include "session/CaptureSession.h"
#include "ui/main/FewRowsModel.h"

// Columns: program, user, bytes sent, bytes received, last category, last
// time, current rate; rows by program, then user, as the session's program
// table has them.
class TProgramModel final : public TFewRowsModel {
  Q_OBJECT
 public:
  explicit TProgramModel(TCaptureSession& Session, QObject* parent = nullptr);
  ~TProgramModel() override;

  // Cleared by --no-programs: the page stays empty.
  bool Enabled = true;
  // Takes the look-ups' answers and shows the rows as they are now.
  void Refresh();
  // Waits (at most a second) for the look-ups asked for, and shows them: for
  // a report at the end of a capture. Otherwise answers come by themselves.
  void Flush();
  const TProgramTotalsTable* Table() const;
  QString CellText(int row, int column) const;
  // Once a second while a capture runs: the rates of every row.
  void SampleRates();
  int CompareRows(int RowA, int RowB, int Column) const override;

 signals:
  // The look-ups have answers (emitted on the worker thread; connect queued).
  void Answered();

 protected:
  QVariant Data(const QModelIndex& index, int role) const override;
  QVariant HeaderData(int section, Qt::Orientation orientation, int role) const override;

 private:
  static std::string RateKey(const ProgramTotals& Row);
  TCaptureSession& Session;
};

// The address page's rows of one program's remote addresses, with that
// program's share of each, in the order the header asks for.
class TProgramFilter final : public TSortedRows {
  Q_OBJECT
 public:
  using TSortedRows::TSortedRows;
  // The bytes per remote address of the program narrowed to, or null: the
  // addresses' own figures.
  void ShowShares(const TProgramTotalsTable::TShares* Shares);
  // Once a second while a capture runs: the rates of the shares.
  void SampleRates();
  QVariant data(const QModelIndex& Index, int Role) const override;
  // The remote addresses to show, or null for all.
  void Narrow(const std::unordered_set<TIpAddress, TIpAddressHash>* Addresses);
  const std::unordered_set<TIpAddress, TIpAddressHash>* Narrowed() const { return Remotes; }
  // Rows may now pass that did not: filtered again when the program has new
  // remote addresses (new rows are filtered as they come).
  void Again() {
    if (Remotes && Remotes->size() != FilteredSize) Narrow(Remotes);
  }

 protected:
  bool filterAcceptsRow(int SourceRow, const QModelIndex& SourceParent) const override;
  int CompareRows(int SourceRowA, int SourceRowB, int Column) const override;

 private:
  // The share of the address in a source row, or null when none is shown.
  const TProgramTotalsTable::TShare* ShareOf(int SourceRow) const;
  double ShareRate(int SourceRow) const;
  const TProgramTotalsTable::TShares* Shares = nullptr;
  TRowRates Rates;
  const std::unordered_set<TIpAddress, TIpAddressHash>* Remotes = nullptr;
  std::size_t FilteredSize = 0;
};
