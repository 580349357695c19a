#pragma once
// The two summary tables of the main window as Qt models over the capture
// core's figures: bytes per service category, and traffic per remote address.
#include <QAbstractTableModel>
#include <QStringList>
#include <atomic>

#include "capture/AddrTotals.h"
#include "session/CaptureSession.h"
#include "ui/main/RowRates.h"
#include "ui/main/SortedRows.h"
#include "ui/trace/GuardedEntry.h"

// The column of each table's current rate, after the others; its caption.
inline constexpr int RateColumn = 6;
extern const char* const RateCaption;
// The address page's last column: the remote host's name, when it has one.
inline constexpr int NameColumn = RateColumn + 1;
// The order a first click on a header gives: the biggest figures first.
QVariant InitialSortOrder(int Section);
// A category's name as the window shows it, in the user's language.
QString CategoryText(std::uint8_t Category);
// The order of category names, as a sort key.
int CategoryNameRank(std::uint8_t Category);

// Seventeen fixed rows, one per category; columns: name, bytes sent, bytes
// received.
class TProtModel final : public TGuardedModel<QAbstractTableModel> {
  Q_OBJECT
 public:
  explicit TProtModel(QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;

  // Takes the byte counters of both directions (inside the notification).
  void Refresh(const CategoryCounters& Counters);
  std::int64_t Bytes(int row, int direction) const;

 protected:
  QVariant Data(const QModelIndex& index, int role) const override;
  QVariant HeaderData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::array<std::array<std::int64_t, ServiceCategoryCount>, 2> Values{};
};

// One row per remote address, in address order, as the session's table has
// them. Rows are inserted where they belong; changed rows are announced once
// per take. At most WindowRows rows are listed, so that a flood of made-up
// addresses cannot take the window's memory.
class TIPAdrModel final : public TGuardedModel<QAbstractTableModel>, public TAddrTotalsListener, public TSortKeys {
  Q_OBJECT
 public:
  static constexpr std::size_t WindowRows = 100'000;

  explicit TIPAdrModel(const TCaptureSession& Session, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;

  // Before the session's take, with this model as its listener. The rows
  // changed by the takes since the last draw are announced at the next one
  // (ShowChanged): a view repaints what is announced, and takes come far
  // more often than draws in a flood.
  void BeginTake();
  void ShowChanged();
  // Around the session's restart.
  void AboutToRestart() { beginResetModel(); }
  void Restarted() {
    Rates.Clear();
    endResetModel();
    FirstChanged = LastChanged = -1;
  }
  const TAddrTotalsTable& Table() const noexcept { return Session.Addresses(); }
  // The text of one cell, as shown.
  QString CellText(int row, int column) const;
  // Once a second while a capture runs: the rates of every row.
  void SampleRates();
  int CompareRows(int RowA, int RowB, int Column) const override;
  // Any thread: names have come (or gone); the column is redrawn once the
  // window's thread gets to it.
  void NamesChanged();

 signals:
  void NamesArrived();

 protected:
  QVariant Data(const QModelIndex& index, int role) const override;
  QVariant HeaderData(int section, Qt::Orientation orientation, int role) const override;

 private:
  void ShowNames();
  void RowAboutToBeInserted(int Row) override;
  void RowInserted(int Row) override;
  void RowChanged(int Row) override;
  bool BeginRefill() override;
  void EndRefill() override;

  const TCaptureSession& Session;
  TRowRates Rates;
  int FirstChanged = -1;
  int LastChanged = -1;
  std::atomic<bool> NamesPending{false};
};
