#pragma once
// The main window: adapter choice, capture start and end, byte totals, the
// last packet in caption and title, the idle blink and the two summary pages.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <QTreeView>
#include <functional>
#include <memory>

#include "capture/NotifyTargets.h"
#include "session/CaptureSession.h"
#include "ui/main/DrawRation.h"
#include "ui/main/PortModel.h"
#include "ui/main/ProgramModel.h"
#include "ui/main/SummaryModels.h"
#include "ui/trace/GuardedEntry.h"

class TRatePage;

class TMainForm final : public TGuarded<QMainWindow> {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // The caption while idle, and the two blink patterns with their titles.
  static const QString IdleCaption;

  TIPMonitor& Monitor() { return *IPMonitor; }
  TCaptureSession& CaptureSession() { return *Session; }
  TProtModel& ProtModel() { return *ProtTable; }
  TIPAdrModel& IPAdrModel() { return *IPAdrTable; }
  TProgramModel& ProgramModel() { return *ProgramTable; }
  TPortModel& PortModel() { return *PortTable; }
  // The dialog actVersion shows (the About dialog), when there is one.
  void SetVersionDialog(QDialog* Dialog) { VersionDialog = Dialog; }
  // Opens a file with the desktop's handler; replaceable for tests.
  std::function<bool(const QString& Path)> OpenDocument;
  // Folders Help looks in, in order, when the working folder has no guide:
  // the installed documentation, then the source tree's.
  QStringList HelpFolders;

  // At start-up: is the link map beside the executable this build's? On a
  // mismatch it alerts and has the program end without saving settings.
  // 0 when the map is right, -1 otherwise.
  int CheckMapFile();

  // Handlers, public so tests can drive them as the toolkit would.
  void FormActivate();
  void cbAdapterChange(int Index);
  void actCaptureStartExecute();
  void actCaptureEndExecute();
  void actHelpExecute();
  void actVersionExecute();
  void actMiniMizeExecute();
  void actExitExecute();
  void tmMainTimer();
  void pcSyukeiChange(int Index);
  void cbProt_IPAdrClick(bool Checked);
  // Takes in the capture's figures and shows them at once.
  void WMCaptureNotify();
  // A program clicked: the address page shows only its remote addresses; the
  // same program again shows them all.
  void lvProgramClick(const QModelIndex& Index);
  // A column header clicked: the rows by that column, the other way round
  // at a second click.
  void lvIPAdrSort(int Column, Qt::SortOrder Order);
  void lvProgramSort(int Column, Qt::SortOrder Order);
  // The menu's switch: host names of the remote addresses looked up, or not.
  void actHostNamesExecute(bool Checked);
  void lvPortSort(int Column, Qt::SortOrder Order);
  // Window thread: runs the notification the capture thread is waiting on.
  Q_INVOKABLE void ServeCaptureNotify();

  // Controls and actions, under the names they have always had.
  QTabWidget* pcMain;
  QWidget* tsAdapter;
  QWidget* tsCounter;
  QWidget* tsOption;
  QLabel* Label5;
  QComboBox* cbAdapter;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label4;
  QLabel* stSndB;
  QLabel* stRcvB;
  QCheckBox* cbProt_IPAdr;
  QPushButton* btnHelp;
  QPushButton* btnExit;
  QFrame* pnWirepeek;
  QPushButton* btnStart;
  QPushButton* btnEnd;
  QTabWidget* pcSyukei;
  QWidget* tsProt;
  QWidget* tsIPAdr;
  QWidget* tsProgram;
  QTreeView* lvProgram;
  QStatusBar* sbarProgram;
  QWidget* tsPort;
  QTreeView* lvPort;
  QStatusBar* sbarPort;
  QTreeView* lvProt;
  QTreeView* lvIPAdr;
  TRatePage* tsRate;
  QStatusBar* sbarProt;
  QStatusBar* sbarIPAdr;
  // On the address page while it shows one program's share, and the way back.
  QLabel* stNarrowed;
  QPushButton* btnShowAll;
  QTimer* tmMain;
  // Shows figures that a notification took in while the display was resting.
  QTimer* tmShowFigures;
  QAction* actCaptureStart;
  QAction* actCaptureEnd;
  QAction* actHelp;
  QAction* actVersion;
  QAction* actMiniMize;
  QAction* actExit;
  QAction* actHostNames;  // checkable
  QMenu* mmiFile;
  QMenu* mmiCapture;
  QMenu* mmiMisc;
  QMenu* pmMain;
  QMenu* pmiCapture;
  QSystemTrayIcon* TrayIcon = nullptr;

 protected:
  void closeEvent(QCloseEvent* Event) override;
  void showEvent(QShowEvent* Event) override;
  void changeEvent(QEvent* Event) override;
  void contextMenuEvent(QContextMenuEvent* Event) override;
  bool FilterEvent(QObject* Watched, QEvent* Event) override;

 private:
  void FormCreate();
  bool FormCloseQuery();
  void FormClose();
  void BuildControls();
  void BuildActionsAndMenus();
  void SetupProtView();
  void SetupIPAdrView();
  void SetSummaryWidth(int Width);
  void AdjustToContents();
  // The summary pages take the room the window has beyond its contents.
  void LayOutSummary();
  // Moved back inside the screen where its edge would pass the screen's.
  void KeepOnScreen();
  void SetOptionPageAvailable(bool Available);
  void SetIdleCommands(bool Idle);
  void SetCaptionAndTitle(const QString& Caption, const QString& Title);
  // The note under the address table, and the trace lines, about addresses
  // that found the table full.
  void ShowUnlisted(bool CaptureEnded);

  // The capture and its figures, which the models read; it outlives them.
  std::unique_ptr<TCaptureSession> Session;
  TIPMonitor* IPMonitor = nullptr;  // the session's, until the window closes
  std::unique_ptr<TQueuedNotifyTarget> NotifyTarget;
  TProtModel* ProtTable;
  TIPAdrModel* IPAdrTable;
  TProgramModel* ProgramTable;
  TProgramFilter* ProgramFilter;
  TSortedRows* ProgramSort;
  TPortModel* PortTable;
  TSortedRows* PortSort;
  // The address page's order: -1 for the table's own (by address).
  int AddrSortColumn = -1;
  Qt::SortOrder AddrSortOrder = Qt::AscendingOrder;
  // The address page through the filter while it is narrowed or sorted.
  void ShowAddresses();
  void SetupSortHeader(QTreeView* View);
  QWidget* Client;
  QDialog* VersionDialog = nullptr;
  bool Closing = false;
  // The width of the summary page on show, before it grows with the window.
  int PageWidth = 0;
  std::int64_t ShownUnlisted = 0;

  // Each notification takes the figures in; they are drawn as Ration allows.
  TDrawRation Ration;
  void OnCaptureNotify();
  void TakeCaptureFigures();
  void ShowCaptureFigures();
  struct TCaptureFigures {
    CategoryCounters Counters{};
    std::uint8_t Direction = 0;
    std::int32_t Length = 0;
  } Figures;
};

// The program-wide main window (null until it is created).
extern TMainForm* MainForm;

// Byte totals as the counter page shows them: digits grouped by the user's
// locale, empty for 0.
QString TotalText(std::int64_t Value);
