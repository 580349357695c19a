#pragma once
// The trace window: where diagnostics and exception reports are shown in
// debug mode, and the owner of the exception watcher.
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/ZExWatcher.h"
#include "support/TextDevs.h"
#include "ui/trace/GuardedEntry.h"

// The memo's lines as the trace channel writes them. The lines are kept
// here; the text box is brought up to date in batches, so a flood of packet
// dumps cannot make the window unusable.
class TMemoLines final : public TGuarded<QObject>, public TLineList {
  Q_OBJECT
 public:
  // Oldest lines are dropped beyond this many (a tenth at a time).
  static constexpr std::size_t MaxLines = 200000;
  static constexpr int FlushIntervalMs = 40;
  // Other threads' lines are taken in this long after the first of them
  // wakes us: they gather meanwhile, so a flood of dumps wakes the window
  // thread once per batch rather than once per line or two.
  static constexpr int DrainDelayMs = 10;
  // At most this many new lines go into the text box at once; a burst
  // beyond it shows its newest lines (all stay in Text(), and in the log).
  // A few screens: more are not read during a flood, and each costs the
  // text box a block.
  static constexpr std::size_t MaxFlushLines = 1000;

  explicit TMemoLines(QPlainTextEdit* Memo);

  int Count() const override { return static_cast<int>(Lines.size()); }
  void Add(std::string_view Line) override;
  void AppendToLast(std::string_view Text) override;
  void Clear() override;
  void TextPending() override;

  const std::deque<std::string>& Text() const noexcept { return Lines; }
  // Exception reports are kept apart as well (the first MaxKeptReports of
  // the run), so the log holds them however many lines came after them.
  static constexpr std::size_t MaxKeptReports = 100;
  void KeepReport(const std::vector<std::string>& ReportLines);
  // What the log holds: the kept reports the memo has dropped meanwhile,
  // then the memo's lines.
  std::vector<std::string> LogText() const;
  // Takes in what other threads wrote, and brings the text box up to date
  // now.
  void Flush();
  // Owner thread: takes in what other threads wrote to the channel, shortly.
  void DrainChannel();

 private:
  void Schedule();
  void Show();
  void Trim();

  QPlainTextEdit* Memo;
  QTimer FlushTimer;
  QTimer DrainTimer;
  std::deque<std::string> Lines;  // dropped from the front without moving the rest
  std::vector<std::string> Spare;  // the last dropped lines, whose room Add reuses
  struct TKeptReport {
    std::uint64_t Start;  // position of its first line among all lines ever added
    std::vector<std::string> Lines;
  };
  std::vector<TKeptReport> Reports;
  std::size_t MoreReports = 0;
  // Where the last report given to KeepReport ends, and whether it was kept:
  // its message line belongs to it, kept or counted.
  std::uint64_t LastReportEnd = 0;
  bool LastReportSeen = false;
  bool LastReportKept = false;
  std::uint64_t FirstIndex = 0;  // position of Lines[0] among all lines ever added
  std::size_t Shown = 0;      // lines of Lines already in the text box
  bool WidgetEmpty = true;    // the text box holds no line yet
  bool LastChanged = false;   // the last shown line grew
  bool Rebuild = false;       // the text box must be filled anew
};

class TTraceForm final : public TGuarded<QMainWindow> {
  Q_OBJECT
 public:
  explicit TTraceForm(QWidget* parent = nullptr);
  ~TTraceForm() override;

  void OpenTraceOutput();
  void CloseTraceOutput();
  void mmiSaveClick();
  void mmiMainFormClick();
  void mmiClearClick();

  TclExceptWatcher& Watcher() { return *ExceptWatcher; }
  TMemoLines& MemoLines() { return *Lines; }
  bool SaveOnClose = false;

  QStatusBar* sbarTrace;
  QTabWidget* pcTrace;
  QWidget* tashTrace;
  QPlainTextEdit* memoTrace;
  QMenu* mmiFile;
  QAction* mmiMainForm;
  QAction* mmiSave;
  QAction* mmiClear;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  void FormCreate();
  void SwitchToDebugMode();
  void SaveLogAtClose();

  std::unique_ptr<TclExceptWatcher> ExceptWatcher;
  TMemoLines* Lines = nullptr;
};

extern TTraceForm* TraceForm;
