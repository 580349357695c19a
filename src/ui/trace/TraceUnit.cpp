#include "ui/trace/TraceUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QVBoxLayout>
#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "diagnostics/TraceReport.h"
#include "support/FaultInjection.h"
#include "support/Settings.h"
#include "support/UserFolders.h"

TTraceForm* TraceForm = nullptr;

TMemoLines::TMemoLines(QPlainTextEdit* memo) : Memo(memo) {
  // The text box drops its oldest lines by itself, as Lines does.
  Memo->setMaximumBlockCount(static_cast<int>(MaxLines));
  FlushTimer.setSingleShot(true);
  FlushTimer.setInterval(FlushIntervalMs);
  GuardedConnect(&FlushTimer, &QTimer::timeout, this, &TMemoLines::Flush);
  DrainTimer.setSingleShot(true);
  DrainTimer.setInterval(DrainDelayMs);
  GuardedConnect(&DrainTimer, &QTimer::timeout, this, [] { TraceOutput.DrainPending(); });
}

void TMemoLines::Add(std::string_view line) {
  if (Spare.empty()) {
    Lines.emplace_back(line);
  } else {
    // A dropped line's room, so a flood of lines allocates little.
    Lines.push_back(std::move(Spare.back()));
    Spare.pop_back();
    Lines.back().assign(line);
  }
  if (Lines.size() > MaxLines) Trim();
  Schedule();
}

void TMemoLines::AppendToLast(std::string_view text) {
  Lines.back().append(text);
  if (Lines.size() == Shown) LastChanged = true;
  Schedule();
}

void TMemoLines::Clear() {
  Lines.clear();
  Spare.clear();
  Reports.clear();
  MoreReports = 0;
  LastReportSeen = LastReportKept = false;
  FirstIndex = 0;
  Shown = 0;
  LastChanged = false;
  Rebuild = true;
  Show();
}

// Writer thread: the owner drains the channel on its own thread.
void TMemoLines::TextPending() {
  QMetaObject::invokeMethod(this, GuardedSlot([this] { DrainChannel(); }), Qt::QueuedConnection);
}

void TMemoLines::DrainChannel() {
  if (!DrainTimer.isActive()) DrainTimer.start();
}

void TMemoLines::KeepReport(const std::vector<std::string>& reportLines) {
  const std::uint64_t start = FirstIndex + Lines.size();
  // The message line that ends a report comes on its own, right after it,
  // and belongs to that report, whether it was kept or only counted.
  const bool follows = LastReportSeen && LastReportEnd == start;
  LastReportSeen = true;
  LastReportEnd = start + reportLines.size();
  if (follows) {
    if (LastReportKept) {
      auto& last = Reports.back().Lines;
      last.insert(last.end(), reportLines.begin(), reportLines.end());
    }
    return;
  }
  LastReportKept = Reports.size() < MaxKeptReports;
  if (LastReportKept) {
    Reports.push_back({start, reportLines});
  } else {
    ++MoreReports;
  }
}

std::vector<std::string> TMemoLines::LogText() const {
  std::vector<std::string> text;
  std::size_t skip = 0;  // lines of Lines that belong to a report given whole
  for (const TKeptReport& report : Reports) {
    if (report.Start >= FirstIndex) break;
    text.insert(text.end(), report.Lines.begin(), report.Lines.end());
    const std::uint64_t end = report.Start + report.Lines.size();
    if (end > FirstIndex) skip = std::max(skip, static_cast<std::size_t>(end - FirstIndex));
  }
  if (FirstIndex > 0) {
    if (MoreReports > 0)
      text.push_back("-- " + std::to_string(MoreReports) + " more exception reports; only the first " +
                     std::to_string(MaxKeptReports) + " are kept whole --");
    text.push_back("-- " + std::to_string(FirstIndex) + " older lines dropped --");
  }
  text.insert(text.end(), Lines.begin() + static_cast<std::ptrdiff_t>(std::min(skip, Lines.size())), Lines.end());
  return text;
}

void TMemoLines::Trim() {
  const std::size_t dropped = MaxLines / 10;
  Spare.clear();
  for (std::size_t i = 0; i < dropped; ++i) Spare.push_back(std::move(Lines[i]));
  Lines.erase(Lines.begin(), Lines.begin() + static_cast<std::ptrdiff_t>(dropped));
  FirstIndex += dropped;
  if (Shown >= dropped) {
    Shown -= dropped;  // the text box has already let them go, or will
  } else {
    Shown = 0;
    Rebuild = true;
  }
}

void TMemoLines::Schedule() {
  if (!FlushTimer.isActive()) FlushTimer.start();
}

void TMemoLines::Flush() {
  DrainTimer.stop();
  TraceOutput.DrainPending();
  Show();
}

// Also from inside the channel (Clear), so it takes in nothing itself.
void TMemoLines::Show() {
  FlushTimer.stop();
  // A flood is shown from its newest lines, so the window stays responsive.
  if (Lines.size() - Shown > MaxFlushLines) Rebuild = true;
  if (Rebuild) {
    Memo->clear();
    WidgetEmpty = true;
    Rebuild = false;
    LastChanged = false;
    Shown = Lines.size() > MaxFlushLines ? Lines.size() - MaxFlushLines : 0;
  }
  if (LastChanged && Shown > 0) {
    QTextCursor cursor(Memo->document()->lastBlock());
    cursor.select(QTextCursor::BlockUnderCursor);
    cursor.movePosition(QTextCursor::StartOfBlock);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(QString::fromStdString(Lines[Shown - 1]));
    LastChanged = false;
  }
  if (Shown < Lines.size()) {
    QString text;
    for (std::size_t i = Shown; i < Lines.size(); ++i) {
      if (i > Shown || !WidgetEmpty) text += QLatin1Char('\n');
      text += QString::fromStdString(Lines[i]);
    }
    WidgetEmpty = false;
    QTextCursor cursor(Memo->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    Shown = Lines.size();
  }
}

TTraceForm::TTraceForm(QWidget* parent) : TGuarded<QMainWindow>(parent) {
  TraceForm = this;
  FormCreate();
}

TTraceForm::~TTraceForm() {
  // The end of the run: the log is saved now when a report asked for it.
  // Nothing may leave a destructor; what fails here goes to standard error.
  try {
    CloseTraceOutput();
  } catch (const std::exception& error) {
    std::cerr << "wirepeek: the trace could not be closed: " << error.what() << std::endl;
  }
  // Nothing may write into the memo once it is gone.
  TraceOutput.AssignNullDevice();
  SetFatalFaultHook(nullptr);
  SetReportPoster(nullptr);
  SetReportKeeper(nullptr);
  SetDebugModeSwitch(nullptr);
  SetTraceAlertSink(nullptr);
  if (TraceForm == this) TraceForm = nullptr;
}

void TTraceForm::FormCreate() {
  // Not a window whose closing ends the program; the main window is.
  setAttribute(Qt::WA_QuitOnClose, false);
  QFont font(QStringLiteral("IPAGothic"));
  font.setPixelSize(16);  // 20 pixels at 120 pixels per inch
  setFont(font);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  pcTrace = new QTabWidget(central);
  tashTrace = new QWidget;
  auto* pageLayout = new QVBoxLayout(tashTrace);
  pageLayout->setContentsMargins(0, 0, 0, 0);
  memoTrace = new QPlainTextEdit(tashTrace);
  memoTrace->setReadOnly(true);
  memoTrace->setLineWrapMode(QPlainTextEdit::NoWrap);
  memoTrace->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoTrace->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pageLayout->addWidget(memoTrace);
  pcTrace->addTab(tashTrace, tr("トレース"));
  layout->addWidget(pcTrace);
  setCentralWidget(central);
  sbarTrace = new QStatusBar(this);
  sbarTrace->setFixedHeight(30);
  sbarTrace->setSizeGripEnabled(false);
  setStatusBar(sbarTrace);

  mmiFile = menuBar()->addMenu(tr("ファイル(&F)"));
  mmiMainForm = mmiFile->addAction(tr("メインフォーム表示(&M)"));
  GuardedConnect(mmiMainForm, &QAction::triggered, this, &TTraceForm::mmiMainFormClick);
  mmiFile->addSeparator();
  mmiSave = mmiFile->addAction(tr("保存(&S)"));
  GuardedConnect(mmiSave, &QAction::triggered, this, &TTraceForm::mmiSaveClick);
  mmiFile->addSeparator();
  mmiClear = mmiFile->addAction(tr("トレース情報クリア"));
  GuardedConnect(mmiClear, &QAction::triggered, this, &TTraceForm::mmiClearClick);

  // The log is saved at close only once a fault asks for it; the window
  // takes the left half of the screen, titled after the executable.
  SaveOnClose = false;
  pcTrace->setCurrentIndex(0);
  const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry()
                                                         : QRect(0, 0, 1024, 768);
  move(10, 10);
  resize(screen.width() / 2, (screen.height() * 90 + 5) / 100);
  setWindowTitle(QFileInfo(QString::fromStdString(GlobalSettings.ExePath)).fileName());

  Lines = new TMemoLines(memoTrace);
  Lines->setParent(this);

  // The watcher of this (the main) thread, and where reports go.
  ExceptWatcher = std::make_unique<TclExceptWatcher>(this);
  SubscribeTraceReports(*ExceptWatcher);
  SetDebugModeSwitch([this] { SwitchToDebugMode(); });
  SetReportKeeper([this](const std::vector<std::string>& lines) { Lines->KeepReport(lines); });
  SetReportPoster([this](std::function<void()> report) {
    QMetaObject::invokeMethod(this, GuardedSlot(std::move(report)), Qt::QueuedConnection);
  });
  // A fault nobody survives still leaves the log the run asked for.
  SetFatalFaultHook([this] { CloseTraceOutput(); });
  SetTraceAlertSink([this](const std::string& text) {
    std::cerr << "wirepeek: " << text << std::endl;  // also for whoever started us from a terminal
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(TraceAlertCaption.data()), QString::fromStdString(text),
                    QMessageBox::NoButton, isVisible() ? this : nullptr);
    box.addButton(QString::fromUtf8(TraceAlertButton.data()), QMessageBox::YesRole);
    box.exec();
    return AlertResultYes;
  });
  // Diagnostics go to the lines in debug mode, nowhere otherwise.
  OpenTraceOutput();
}

void TTraceForm::OpenTraceOutput() {
  if (DebugMode) {
    show();
    TraceOutput.AssignLinesDevice(*Lines);
  } else {
    TraceOutput.AssignNullDevice();
  }
  TraceOutput.Rewrite();
}

void TTraceForm::CloseTraceOutput() {
  FlushPendingReports();
  if (SaveOnClose) SaveLogAtClose();
  TraceOutput.Close();
}

// At the end of the run there is nobody to report a failure to: the log goes
// to the user's state folder when the current one cannot take it.
void TTraceForm::SaveLogAtClose() {
  const std::vector<std::string> text = Lines->LogText();
  try {
    SaveTraceLog(text);
    return;
  } catch (const std::exception& error) {
    try {
      const std::string path = SaveTraceLog(text, MakeUserStateFolder());
      std::cerr << "wirepeek: " << error.what() << "; the trace log is saved as " << path << std::endl;
    } catch (const std::exception& second) {
      std::cerr << "wirepeek: the trace log could not be saved: " << error.what() << "; " << second.what()
                << std::endl;
    }
  }
}

void TTraceForm::SwitchToDebugMode() {
  // Outside debug mode the memo holds only why captures could not start;
  // they stay in the trace and its log.
  const std::vector<std::string> reasons(Lines->Text().begin(), Lines->Text().end());
  CloseTraceOutput();
  SaveOnClose = true;
  DebugMode = true;
  OpenTraceOutput();
  for (const std::string& line : reasons) TraceOutput.WriteLine(line);
}

void TTraceForm::mmiSaveClick() { SaveTraceLog(Lines->LogText()); }

void TTraceForm::mmiMainFormClick() {
  FaultPoint(TFaultPoint::TraceMenu);
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window != this && window->inherits("TMainForm")) {
      window->showNormal();
      window->raise();
      window->activateWindow();
    }
  }
}

void TTraceForm::mmiClearClick() { Lines->Clear(); }

void TTraceForm::closeEvent(QCloseEvent* event) { event->ignore(); }

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_TraceUnit.cpp"
