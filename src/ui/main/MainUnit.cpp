#include "ui/main/MainUnit.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeySequence>
#include <QLayout>
#include <QLocale>
#include <QMenuBar>
#include <QScreen>
#include <QSessionManager>
#include <QSignalBlocker>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "diagnostics/LinkMap.h"
#include "diagnostics/MapCheck.h"
#include "diagnostics/TraceReport.h"
#include "support/FaultInjection.h"
#include "support/Settings.h"
#include "support/TextDevs.h"
#include "ui/main/Application.h"
#include "ui/main/Dialogs.h"
#include "ui/main/RatePage.h"

TMainForm* MainForm = nullptr;

namespace {
// Translated where it is shown; the Japanese text is the source.
const char* const IdleCaptionText = QT_TRANSLATE_NOOP("TMainForm", "ワイヤピーク監視■■■■");
}  // namespace

const QString TMainForm::IdleCaption = QString::fromUtf8(IdleCaptionText);

namespace {

// The Windows faces, by their free counterparts.
const char* const PGothic = "IPAPGothic";
const char* const Gothic = "IPAGothic";
const char* const Mincho = "IPAMincho";

// The size the window was designed at, before it sizes itself to its contents.
constexpr int DesignWidth = 765;
constexpr int DesignHeight = 645;
constexpr int SummaryHeight = 347;

QFont PixelFont(const char* family, int pixels) {
  QFont font(QString::fromLatin1(family));
  font.setPixelSize(pixels);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

template <class TWidget>
TWidget* Place(TWidget* widget, int left, int top, int width = -1, int height = -1) {
  widget->move(left, top);
  if (width >= 0 && height >= 0)
    widget->resize(width, height);
  else if (width >= 0)
    widget->resize(width, widget->sizeHint().height());
  else
    widget->adjustSize();
  return widget;
}

// A push button that shows its action's caption (on two lines when one is
// too narrow) and follows its enabled state, as bound buttons do.
void Bind(QPushButton* button, QAction* action) {
  const auto update = [button, action] {
    QString text = action->text();
    const int room = button->width() - 8;
    if (button->fontMetrics().horizontalAdvance(QString(text).remove('&')) > room && text.contains(' '))
      text.replace(text.indexOf(' '), 1, '\n');
    button->setText(text);
    button->setEnabled(action->isEnabled());
  };
  GuardedConnect(action, &QAction::changed, button, update);
  GuardedConnect(button, &QPushButton::clicked, action, &QAction::trigger);
  update();
}

// The summary lists: rows of one line each, so a changed figure needs only a
// repaint. QTreeView would measure the first row's cells again on every
// change that touches it (the totals row, on each notification).
class TSummaryView final : public TGuarded<QTreeView> {
 public:
  using TGuarded<QTreeView>::TGuarded;

 protected:
  void dataChanged(const QModelIndex& TopLeft, const QModelIndex& BottomRight, const QList<int>& Roles) override {
    QAbstractItemView::dataChanged(TopLeft, BottomRight, Roles);
  }
};

}  // namespace

QString TotalText(std::int64_t value) {
  if (value == 0) return {};
  return QLocale().toString(static_cast<qlonglong>(value));
}

TMainForm::TMainForm(QWidget* parent) : TGuarded<QMainWindow>(parent) {
  MainForm = this;
  OpenDocument = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
  HelpFolders = {QStringLiteral(WIREPEEK_DOC_DIR), QStringLiteral(WIREPEEK_SOURCE_DOC_DIR)};
  FormCreate();
}

TMainForm::~TMainForm() {
  // Never leave a thread that notifies a window that is going away.
  if (IPMonitor && IPMonitor->Thread) IPMonitor->CaptureEnd();
  // The tables go before the session whose rows their models read: a view
  // that is taken down may still ask for its rows.
  delete Client;
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::BuildControls() {
  setFont(PixelFont(PGothic, 12));
  Client = new QWidget(this);
  setCentralWidget(Client);

  pcMain = Place(new QTabWidget(Client), 0, 0, 276, 103);
  tsAdapter = new QWidget;
  tsCounter = new QWidget;
  tsOption = new QWidget;
  pcMain->addTab(tsAdapter, tr("アダプタ選択"));
  pcMain->addTab(tsCounter, tr("カウンタ"));
  pcMain->addTab(tsOption, tr("オプション"));

  Label5 = new QLabel(tr("ｱﾀﾞﾌﾟﾀIPｱﾄﾞﾚｽ"), tsAdapter);
  Label5->setFont(PixelFont(Mincho, 13));
  Place(Label5, 13, 6);
  cbAdapter = new QComboBox(tsAdapter);
  cbAdapter->setFont(PixelFont(Gothic, 16));
  cbAdapter->setEditable(false);  // only listed addresses can be chosen
  Place(cbAdapter, 13, 32, 237);

  const auto counterLabel = [this](const QString& text) {
    auto* label = new QLabel(text, tsCounter);
    label->setFont(PixelFont(Mincho, 13));
    return label;
  };
  Label1 = Place(counterLabel(tr("送信")), 10, 16);
  Label2 = Place(counterLabel(tr("受信")), 10, 42);
  Label4 = counterLabel(tr("ﾊﾞｲﾄ数"));
  Label4->adjustSize();
  Label4->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Place(Label4, 254 - Label4->width(), 0);
  const auto total = [this](int top) {
    auto* box = new QLabel(tsCounter);
    box->setFont(PixelFont(Gothic, 16));
    box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    box->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return Place(box, 58, top, 196, 20);
  };
  stSndB = total(16);
  stRcvB = total(42);

  cbProt_IPAdr = Place(new QCheckBox(tr("プロトコル別／ＩＰアドレス別集計"), tsOption), 19, 13, 209, 20);
  btnHelp = Place(new QPushButton(tsOption), 19, 45, 103, 29);
  btnExit = Place(new QPushButton(tsOption), 134, 43, 104, 31);

  pnWirepeek = Place(new QFrame(Client), 278, 0, 184, 102);
  pnWirepeek->setFrameStyle(QFrame::Panel | QFrame::Raised);
  btnStart = Place(new QPushButton(pnWirepeek), 10, 10, 77, 58);
  btnEnd = Place(new QPushButton(pnWirepeek), 99, 35, 77, 58);
  for (auto* button : {btnStart, btnEnd}) button->setFont(PixelFont(PGothic, 19));

  pcSyukei = Place(new QTabWidget(Client), 6, 102, 532, SummaryHeight);
  const auto page = [this](const QString& caption, QTreeView*& list, QStatusBar*& bar) {
    auto* tab = new QWidget;
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    list = new TSummaryView(tab);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setItemsExpandable(false);
    list->header()->setStretchLastSection(false);
    bar = new QStatusBar(tab);
    bar->setSizeGripEnabled(false);
    layout->addWidget(list);
    layout->addWidget(bar);
    pcSyukei->addTab(tab, caption);
    return tab;
  };
  tsProt = page(tr("プロトコル別集計"), lvProt, sbarProt);
  tsIPAdr = page(tr("ＩＰアドレス別集計"), lvIPAdr, sbarIPAdr);
  stNarrowed = new QLabel(sbarIPAdr);
  btnShowAll = new QPushButton(tr("全部表示"), sbarIPAdr);
  sbarIPAdr->addPermanentWidget(stNarrowed);
  sbarIPAdr->addPermanentWidget(btnShowAll);
  stNarrowed->hide();
  btnShowAll->hide();
  tsProgram = page(tr("プログラム別集計"), lvProgram, sbarProgram);
  tsPort = page(tr("ポート別集計"), lvPort, sbarPort);
  tsRate = new TRatePage;
  pcSyukei->addTab(tsRate, TRatePage::tr("推移"));

  tmMain = new QTimer(this);
  tmMain->setInterval(1000);
  tmShowFigures = new QTimer(this);
  tmShowFigures->setSingleShot(true);
}

void TMainForm::BuildActionsAndMenus() {
  const auto action = [this](const QString& caption, void (TMainForm::*handler)()) {
    auto* a = new QAction(caption, this);
    GuardedConnect(a, &QAction::triggered, this, handler);
    return a;
  };
  actCaptureStart = action(tr("Capture 開始"), &TMainForm::actCaptureStartExecute);
  actCaptureEnd = action(tr("Capture 終了"), &TMainForm::actCaptureEndExecute);
  actHelp = action(tr("ヘルプ(&H)"), &TMainForm::actHelpExecute);
  actVersion = action(tr("バージョン(&V)"), &TMainForm::actVersionExecute);
  actMiniMize = action(tr("最小化(&N)"), &TMainForm::actMiniMizeExecute);
  actExit = action(tr("ﾌﾟﾛｸﾞﾗﾑ終了(&X)"), &TMainForm::actExitExecute);

  actCaptureStart->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  actCaptureEnd->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  actHelp->setShortcut(QKeySequence(Qt::Key_F1));
  actExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  // Off until the program turns it on, so that a window made by a test asks
  // no resolver.
  actHostNames = new QAction(tr("ホスト名を調べる"), this);
  actHostNames->setCheckable(true);
  GuardedConnect(actHostNames, &QAction::toggled, this, &TMainForm::actHostNamesExecute);

  mmiFile = menuBar()->addMenu(tr("ファイル(&F)"));
  mmiCapture = mmiFile->addMenu(QStringLiteral("Capture(&C)"));
  mmiCapture->addActions({actCaptureStart, actCaptureEnd});
  mmiFile->addAction(actHostNames);
  mmiFile->addSeparator();
  mmiFile->addAction(actExit);
  mmiMisc = menuBar()->addMenu(tr("ヘルプ(&H)"));
  mmiMisc->addActions({actHelp, actVersion});

  pmMain = new QMenu(tr("処理メニュー"), this);
  pmMain->addAction(actMiniMize);
  pmMain->addSeparator();
  pmiCapture = pmMain->addMenu(QStringLiteral("Capture(&C)"));
  pmiCapture->addActions({actCaptureStart, actCaptureEnd});
  pmMain->addAction(actHostNames);
  pmMain->addSeparator();
  pmMain->addActions({actHelp, actVersion});
  pmMain->addSeparator();
  pmMain->addAction(actExit);

  Bind(btnHelp, actHelp);
  Bind(btnExit, actExit);
  Bind(btnStart, actCaptureStart);
  Bind(btnEnd, actCaptureEnd);
}

void TMainForm::FormCreate() {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  BuildControls();
  BuildActionsAndMenus();
  Session = std::make_unique<TCaptureSession>();
  Session->ListAddresses(TIPAdrModel::WindowRows);
  ProtTable = new TProtModel(this);
  IPAdrTable = new TIPAdrModel(*Session, this);
  // Look-up thread: only queues the redraw.
  Session->SetNamesAnswered([model = IPAdrTable] { model->NamesChanged(); });
  ProgramTable = new TProgramModel(*Session, this);
  ProgramFilter = new TProgramFilter(this);
  ProgramFilter->setSourceModel(IPAdrTable);
  ProgramSort = new TSortedRows(this);
  ProgramSort->setSourceModel(ProgramTable);
  PortTable = new TPortModel(*Session, this);
  PortSort = new TSortedRows(this);
  PortSort->setSourceModel(PortTable);

  // Settings, centred on the screen when no position is stored.
  const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry()
                                                         : QRect(0, 0, 1024, 768);
  GlobalSettings.ScreenHeight = screen.height();
  GlobalSettings.ScreenWidth = screen.width();
  GlobalSettings.FormHeight = DesignHeight;
  GlobalSettings.FormWidth = DesignWidth;
  try {
    ReadSettings();
  } catch (const EIniFileError& error) {
    // Defaults are in place; the file is left alone, and saving will say so.
    const QString text = QString::fromUtf8(error.what());
    if (TraceOutput.WantsText()) TraceOutput.WriteLine(error.what());
    ShowMessageBox(this, QStringLiteral("Wirepeek"), text, QMessageBox::Warning);
  }
  // The first page, the idle commands, no timer until a capture runs, and
  // the stored position.
  pcMain->setCurrentIndex(0);
  SetIdleCommands(true);
  tmMain->stop();
  move(GlobalSettings.Left, GlobalSettings.Top);
  // The summary tables, shown at their stored width when the setting asks.
  SetupProtView();
  SetupIPAdrView();
  lvProgram->setModel(ProgramSort);
  // The user as narrow as the category, so that the page shows its rate sooner.
  for (int c = 0; c < ProgramTable->columnCount(); ++c)
    lvProgram->setColumnWidth(c, lvIPAdr->columnWidth(c == 0 ? 1 : c == 1 ? 4 : c));
  lvPort->setModel(PortSort);
  // Port and service as wide as the address and the category, the figures as the address page's.
  for (int c = 0; c < PortTable->columnCount(); ++c)
    lvPort->setColumnWidth(c, lvIPAdr->columnWidth(c == 0 ? 1 : c == 1 ? 4 : c == TPortModel::PortRateColumn ? RateColumn : c));
  SetupSortHeader(lvIPAdr);
  SetupSortHeader(lvProgram);
  SetupSortHeader(lvPort);
  if (GlobalSettings.Prot_IPAdr) {
    cbProt_IPAdr->setChecked(true);
    SetSummaryWidth(GlobalSettings.ProtPageWidth);
    pcSyukei->setCurrentWidget(tsProt);
    pcSyukei->show();
    pnWirepeek->resize(GlobalSettings.ProtPageWidth - pcMain->width(), pnWirepeek->height());
  } else {
    cbProt_IPAdr->setChecked(false);
    GlobalSettings.Prot_IPAdr = 0;
    pcSyukei->hide();
  }
  // Each handler is an abandon point of its own: a fault in it is left
  // without leaving the toolkit's frames that called it.
  GuardedConnect(cbAdapter, &QComboBox::activated, this, &TMainForm::cbAdapterChange);
  GuardedConnect(cbProt_IPAdr, &QCheckBox::toggled, this, &TMainForm::cbProt_IPAdrClick);
  GuardedConnect(pcSyukei, &QTabWidget::currentChanged, this, &TMainForm::pcSyukeiChange);
  GuardedConnect(lvProgram, &QTreeView::clicked, this, &TMainForm::lvProgramClick);
  GuardedConnect(lvIPAdr->header(), &QHeaderView::sortIndicatorChanged, this, &TMainForm::lvIPAdrSort);
  GuardedConnect(lvProgram->header(), &QHeaderView::sortIndicatorChanged, this, &TMainForm::lvProgramSort);
  GuardedConnect(lvPort->header(), &QHeaderView::sortIndicatorChanged, this, &TMainForm::lvPortSort);
  GuardedConnect(btnShowAll, &QPushButton::clicked, this, [this] { lvProgramClick({}); });
  GuardedConnect(tmMain, &QTimer::timeout, this, &TMainForm::tmMainTimer);
  GuardedConnect(tmShowFigures, &QTimer::timeout, this, &TMainForm::ShowCaptureFigures);

  // The command menu where Linux shows the program's presence.
  GlobalSettings.MainSystemMenu = pmMain;
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    TrayIcon = new QSystemTrayIcon(windowIcon(), this);
    auto* trayMenu = new QMenu(this);
    trayMenu->addSeparator();
    trayMenu->addMenu(pmMain);
    TrayIcon->setContextMenu(trayMenu);
    // A left click shows the window, or hides it when it is already in view.
    GuardedConnect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      FaultPoint(TFaultPoint::Tray);
      if (reason != QSystemTrayIcon::Trigger) return;
      if (isVisible() && !isMinimized()) {
        hide();
      } else {
        showNormal();
        raise();
        activateWindow();
      }
    });
    GlobalSettings.AppSystemMenu = trayMenu;
    TrayIcon->show();
  }
  if (App()) {
    GuardedConnect(App(), &TApplication::TitleChanged, this, [this](const QString& title) {
      if (TrayIcon) TrayIcon->setToolTip(title);
    });
    // A session that ends while a capture runs is refused like any close.
    GuardedConnect(App(), &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
      if (!IPMonitor || !IPMonitor->Ioctl->Running) return;
      if (manager.allowsInteraction()) {
        FormCloseQuery();
        manager.release();
      }
      manager.cancel();
    });
  }

  // The idle caption until a capture starts.
  SetCaptionAndTitle(tr(IdleCaptionText), QStringLiteral("Wirepeek"));

  // The capture engine, and the channel its notifications come through.
  IPMonitor = &Session->Monitor();
  InstallErrorBox(*IPMonitor->Ioctl);
  NotifyTarget = std::make_unique<TQueuedNotifyTarget>(
      // A fault in the handler is reported like any other and abandons only
      // this notification.
      GuardedSlot([this] { OnCaptureNotify(); }),
      // Capture thread: have the window thread serve the notification. Named
      // rather than a lambda, so nothing of ours crosses the thread in Qt's queue.
      [this] { QMetaObject::invokeMethod(this, "ServeCaptureNotify", Qt::QueuedConnection); });
  IPMonitor->WSA_Open();
  Client->installEventFilter(this);
  AdjustToContents();
  // The size the user left it at, never below what it sizes itself to.
  if (GlobalSettings.Width > 0 && GlobalSettings.Height > 0)
    resize(QSize(GlobalSettings.Width, GlobalSettings.Height).expandedTo(minimumSize()));
}

void TMainForm::SetupProtView() {
  const int u = std::abs(lvProt->font().pixelSize() > 0 ? lvProt->font().pixelSize() : 12);
  lvProt->setModel(ProtTable);
  int width = 10;
  const int widths[] = {8 * u, 16 * u, 16 * u};
  for (int c = 0; c < 3; ++c) {
    lvProt->setColumnWidth(c, widths[c]);
    width += widths[c] + 1;
  }
  GlobalSettings.ProtPageWidth = width;
  SetSummaryWidth(width);
}

void TMainForm::SetupIPAdrView() {
  const int u = std::abs(lvIPAdr->font().pixelSize() > 0 ? lvIPAdr->font().pixelSize() : 12);
  lvIPAdr->setModel(IPAdrTable);
  int width = 10;
  const int widths[] = {2 * u, 12 * u, 14 * u, 14 * u, 8 * u, 7 * u};
  for (int c = 0; c < 6; ++c) {
    lvIPAdr->setColumnWidth(c, widths[c]);
    width += widths[c] + (c < 5 ? 1 : 5);
  }
  // The rate and the name are ours: beyond the page's own width, in view once the window is wider.
  lvIPAdr->setColumnWidth(RateColumn, 8 * u);
  lvIPAdr->setColumnWidth(NameColumn, 20 * u);
  GlobalSettings.IPAdrPageWidth = width;
  SetSummaryWidth(width);
}

void TMainForm::SetupSortHeader(QTreeView* view) {
  QHeaderView* header = view->header();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  // The table's own order until a header is clicked.
  header->setSortIndicator(-1, Qt::AscendingOrder);
}

void TMainForm::SetSummaryWidth(int width) {
  PageWidth = width;
  pcSyukei->setGeometry(pcSyukei->x(), pcSyukei->y(), width, SummaryHeight);
}

void TMainForm::AdjustToContents() {
  // A window at the size of its contents follows them; one the user has
  // sized keeps its size while the contents fit.
  const bool following = !isMaximized() && !isFullScreen() && (!isVisible() || size() == minimumSize());
  const bool summary = !pcSyukei->isHidden();
  if (summary) {
    SetSummaryWidth(PageWidth);
    pnWirepeek->resize(PageWidth - pcMain->width(), pnWirepeek->height());
  }
  QRect bounds;
  for (auto* child : Client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (!child->isHidden()) bounds |= child->geometry();
  const QSize contents(bounds.right() + 1, bounds.bottom() + 1);
  // Only the summary pages have a use for more room.
  Client->setMinimumSize(contents);
  Client->setMaximumSize(summary ? QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) : contents);
  layout()->invalidate();
  setMinimumSize(layout()->totalMinimumSize());
  setMaximumSize(summary ? QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) : minimumSize());
  resize(following ? minimumSize() : size().expandedTo(minimumSize()).boundedTo(maximumSize()));
  LayOutSummary();
  KeepOnScreen();
}

void TMainForm::LayOutSummary() {
  if (pcSyukei->isHidden() || Client->width() < pcSyukei->x() + PageWidth) return;
  pcSyukei->setGeometry(pcSyukei->x(), pcSyukei->y(), Client->width() - pcSyukei->x(),
                        std::max(SummaryHeight, Client->height() - pcSyukei->y()));
  pnWirepeek->resize(pcSyukei->width() - pcMain->width(), pnWirepeek->height());
}

void TMainForm::KeepOnScreen() {
  const QRect frame = frameGeometry();
  const QScreen* shown = QGuiApplication::screenAt(frame.topLeft());
  if (!shown || isMaximized()) return;
  // Only a grown edge is pulled back: a window placed across screens stays.
  const QRect room = shown->availableGeometry();
  const int overRight = frame.right() - room.right(), overBottom = frame.bottom() - room.bottom();
  if (overRight <= 0 && overBottom <= 0) return;
  move(overRight > 0 ? std::max(room.left(), frame.left() - overRight) : frame.left(),
       overBottom > 0 ? std::max(room.top(), frame.top() - overBottom) : frame.top());
}

bool TMainForm::FilterEvent(QObject* watched, QEvent* event) {
  if (watched == Client && event->type() == QEvent::Resize) LayOutSummary();
  return TGuarded<QMainWindow>::FilterEvent(watched, event);
}

void TMainForm::SetIdleCommands(bool idle) {
  actCaptureStart->setEnabled(idle);
  actCaptureEnd->setEnabled(!idle);
  actHelp->setEnabled(idle);
  actVersion->setEnabled(idle);
}

void TMainForm::SetOptionPageAvailable(bool available) {
  const int index = pcMain->indexOf(tsOption);
  pcMain->setTabEnabled(index, available);
  pcMain->setTabVisible(index, available);
}

void TMainForm::SetCaptionAndTitle(const QString& caption, const QString& title) {
  setWindowTitle(caption);
  if (App()) App()->SetTitle(title);
}

void TMainForm::FormActivate() {
  // A first activation still queued when the window closed finds no monitor.
  if (!GlobalSettings.FirstActivate || !IPMonitor) return;
  const TXIoctl& state = *IPMonitor->Ioctl;
  if (state.AdapterCount <= 0) {
    GlobalSettings.FirstActivate = 0;
    QMetaObject::invokeMethod(this, GuardedSlot([this] { close(); }), Qt::QueuedConnection);
    return;
  }
  // The address first, as settings and --start name it, then its interface;
  // the address alone (an interface's name for a whole one) is the item's
  // data.
  for (int i = 1; i <= state.AdapterCount; ++i)
    cbAdapter->addItem(QString::fromStdString(AdapterEntryText(state, i)),
                       QString::fromStdString(AdapterEntryKey(state, i)));
  cbAdapter->setCurrentIndex(0);
  GlobalSettings.FirstActivate = 0;
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Some window managers (and the offscreen platform) never activate us.
  if (GlobalSettings.FirstActivate)
    QMetaObject::invokeMethod(this, GuardedSlot([this] { FormActivate(); }), Qt::QueuedConnection);
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TMainForm::contextMenuEvent(QContextMenuEvent* event) { pmMain->popup(event->globalPos()); }

void TMainForm::cbAdapterChange(int index) { IPMonitor->Ioctl->SelectedAdapter = index + 1; }

void TMainForm::actCaptureStartExecute() {
  TXIoctl& state = *IPMonitor->Ioctl;
  state.NotifyWindow = NotifyTarget.get();
  state.ExePath = GlobalSettings.ExePath;
  SetOptionPageAvailable(false);
  // A new capture shows its tables in their own order, unnarrowed.
  lvProgramClick({});
  lvProgram->header()->setSortIndicator(-1, Qt::AscendingOrder);
  lvIPAdr->header()->setSortIndicator(-1, Qt::AscendingOrder);
  lvPort->header()->setSortIndicator(-1, Qt::AscendingOrder);
  // The sockets of a capture file are not this host's.
  const bool live = state.CaptureFile.empty() && state.SelectedAdapter >= 1 && state.SelectedAdapter <= state.Adapters.Count();
  IPAdrTable->AboutToRestart();
  ProgramTable->AboutToRestart();
  PortTable->AboutToRestart();
  Session->Restart(ProgramTable->Enabled && live, live ? state.Adapters[state.SelectedAdapter] : TIpAddress{});
  IPAdrTable->Restarted();
  ProgramTable->Restarted();
  PortTable->Restarted();
  ShowUnlisted(false);
  if (IPMonitor->CaptureStart() == 0) {
    pcMain->setCurrentWidget(tsCounter);
    SetIdleCommands(false);
    state.IdleTicks = 0;
    tsRate->CaptureStarted();
    tmMain->start();
    FaultPoint(TFaultPoint::Action);
  } else {
    pcMain->setCurrentWidget(tsAdapter);
    SetIdleCommands(true);
    SetOptionPageAvailable(true);
  }
}

void TMainForm::actCaptureEndExecute() {
  tmMain->stop();
  IPMonitor->CaptureEnd();
  // The last figures, when they were still waiting to be drawn, in the
  // order the headers ask for.
  if (tmShowFigures->isActive()) ShowCaptureFigures();
  if (lvIPAdr->model() == ProgramFilter) ProgramFilter->Resort(true);
  ProgramSort->Resort(true);
  PortSort->Resort(true);
  ShowUnlisted(true);
  SetIdleCommands(true);
  SetOptionPageAvailable(true);
  SetCaptionAndTitle(tr(IdleCaptionText), QStringLiteral("Wirepeek"));
}

void TMainForm::actHelpExecute() {
  // The guide in the user's language (its name is translated with the
  // texts), else the Japanese one; each looked for in the working directory
  // first, not beside the executable.
  QStringList names = {tr("Wirepeek.html")};
  if (names.first() != QStringLiteral("Wirepeek.html")) names << QStringLiteral("Wirepeek.html");
  for (const QString& name : names) {
    if (QFileInfo(name).isFile()) {
      OpenDocument(QDir::current().absoluteFilePath(name));
      return;
    }
    for (const QString& folder : HelpFolders) {
      const QString path = QDir(folder).absoluteFilePath(name);
      if (QFileInfo(path).isFile()) {
        OpenDocument(path);
        return;
      }
    }
  }
  ShowMessageBox(this, App() ? App()->Title() : QStringLiteral("Wirepeek"), tr("HelpFileが　ありません"));
}

void TMainForm::actVersionExecute() {
  if (VersionDialog) VersionDialog->exec();
}

void TMainForm::actMiniMizeExecute() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->isVisible() && window->isWindow()) window->showMinimized();
}

void TMainForm::actExitExecute() { close(); }

void TMainForm::tmMainTimer() {
  FaultPoint(TFaultPoint::Timer);
  // A fault ended the capture thread: the capture ends as the command would.
  if (IPMonitor->Thread && IPMonitor->Thread->ExitCode() == TCaptureThread::ExitAbandoned) {
    actCaptureEndExecute();
    return;
  }
  tsRate->Tick(*ProtTable);
  IPAdrTable->SampleRates();
  ProgramTable->SampleRates();
  ProgramFilter->SampleRates();
  PortTable->SampleRates();
  if (lvIPAdr->model() == ProgramFilter && AddrSortColumn == RateColumn) ProgramFilter->Resort();
  if (ProgramSort->sortColumn() == RateColumn) ProgramSort->Resort();
  if (PortSort->sortColumn() == TPortModel::PortRateColumn) PortSort->Resort();
  TXIoctl& state = *IPMonitor->Ioctl;
  state.IdleTicks += 1;
  if (state.IdleTicks < 4) return;
  if (GlobalSettings.BlinkPhase)
    SetCaptionAndTitle(tr("ワイヤピーク監視□■□■"), QStringLiteral("□■□■"));
  else
    SetCaptionAndTitle(tr("ワイヤピーク監視■□■□"), QStringLiteral("■□■□"));
  GlobalSettings.BlinkPhase = !GlobalSettings.BlinkPhase;
}

void TMainForm::pcSyukeiChange(int index) {
  const int width = index == 0 ? GlobalSettings.ProtPageWidth : GlobalSettings.IPAdrPageWidth;
  SetSummaryWidth(width);
  pnWirepeek->resize(width - pcMain->width(), pnWirepeek->height());
  AdjustToContents();
}

void TMainForm::actHostNamesExecute(bool checked) {
  if (checked == Session->NamesOn()) return;
  checked ? Session->StartNames() : Session->StopNames();
  IPAdrTable->NamesChanged();
}

void TMainForm::cbProt_IPAdrClick(bool checked) {
  if (GlobalSettings.FirstActivate) return;
  if (checked) {
    GlobalSettings.Prot_IPAdr = 1;
    pcSyukei->setCurrentWidget(tsProt);
    SetSummaryWidth(GlobalSettings.ProtPageWidth);
    pcSyukei->show();
    pnWirepeek->show();
    pnWirepeek->resize(GlobalSettings.ProtPageWidth - pcMain->width(), pnWirepeek->height());
  } else {
    GlobalSettings.Prot_IPAdr = 0;
    pcSyukei->hide();
    // Back from the width the window gave it to the page's own.
    pnWirepeek->resize(std::min(pnWirepeek->width(), PageWidth - pcMain->width()), pnWirepeek->height());
  }
  AdjustToContents();
}

// Called by name from the capture thread's queued call: the one entry not
// made through GuardedConnect or GuardedSlot, so it guards itself.
void TMainForm::ServeCaptureNotify() {
  GuardedSlot([this] {
    if (NotifyTarget) NotifyTarget->ServePending();
  })();
}

void TMainForm::WMCaptureNotify() {
  TakeCaptureFigures();
  ShowCaptureFigures();
}

// Window thread, while the capture thread waits for it to return.
void TMainForm::OnCaptureNotify() {
  TakeCaptureFigures();
  const int wait = Ration.Ask(TDrawRation::TClock::now(), tmShowFigures->isActive());
  if (wait == 0)
    ShowCaptureFigures();
  else if (wait > 0)
    tmShowFigures->start(wait);
}

// Window thread, while the capture thread waits: what is drawn later is a
// copy, since the capture goes on meanwhile.
void TMainForm::TakeCaptureFigures() {
  FaultPoint(TFaultPoint::CaptureNotify);
  TXIoctl& state = *IPMonitor->Ioctl;
  Figures.Counters = state.Counters;
  Figures.Direction = state.CurDirection;
  Figures.Length = state.CurLength;
  state.IdleTicks = 0;
  // The kernel's counts are read only for a report, at the end.
  IPAdrTable->BeginTake();
  Session->Take({}, IPAdrTable);
  ShowUnlisted(false);
}

void TMainForm::lvProgramClick(const QModelIndex& clicked) {
  // The row as the program table has it, whatever order the page shows.
  const QModelIndex index = clicked.model() == ProgramSort ? ProgramSort->mapToSource(clicked) : clicked;
  const TProgramTotalsTable* table = ProgramTable->Table();
  const auto* remotes = table && index.isValid() && index.row() < table->RowCount() ? &table->RemotesOf(index.row())
                                                                                     : nullptr;
  if (remotes == ProgramFilter->Narrowed()) remotes = nullptr;
  ProgramFilter->Narrow(remotes);
  ProgramFilter->ShowShares(remotes ? &table->SharesOf(index.row()) : nullptr);
  ShowAddresses();
  const QString program = remotes ? ProgramTable->CellText(index.row(), 0) : QString();
  if (remotes)
    sbarProgram->showMessage(tr("ＩＰアドレス別集計は %1 の相手だけ（もう一度クリックで全部）").arg(program));
  else
    sbarProgram->clearMessage();
  stNarrowed->setText(remotes ? tr("%1 の分だけ").arg(program) : QString());
  stNarrowed->setVisible(remotes != nullptr);
  btnShowAll->setVisible(remotes != nullptr);
}

void TMainForm::lvIPAdrSort(int column, Qt::SortOrder order) {
  AddrSortColumn = column;
  AddrSortOrder = order;
  ShowAddresses();
}

void TMainForm::lvProgramSort(int column, Qt::SortOrder order) { ProgramSort->sort(column, order); }

void TMainForm::lvPortSort(int column, Qt::SortOrder order) { PortSort->sort(column, order); }

void TMainForm::ShowAddresses() {
  const bool direct = !ProgramFilter->Narrowed() && AddrSortColumn < 0;
  QAbstractItemModel* shown = direct ? static_cast<QAbstractItemModel*>(IPAdrTable) : ProgramFilter;
  if (lvIPAdr->model() != shown) {
    // The columns keep their widths, and the header its order, across the change of model.
    std::vector<int> widths;
    for (int c = 0; c < IPAdrTable->columnCount(); ++c) widths.push_back(lvIPAdr->columnWidth(c));
    lvIPAdr->setModel(shown);
    for (int c = 0; c < static_cast<int>(widths.size()); ++c) lvIPAdr->setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
    const QSignalBlocker quiet(lvIPAdr->header());
    lvIPAdr->header()->setSortIndicator(AddrSortColumn, AddrSortOrder);
  }
  if (!direct) ProgramFilter->sort(AddrSortColumn, AddrSortOrder);
}

void TMainForm::ShowCaptureFigures() {
  tmShowFigures->stop();
  stSndB->setText(TotalText(Figures.Counters[0][KindBytes][0]));
  stRcvB->setText(TotalText(Figures.Counters[1][KindBytes][0]));
  ProtTable->Refresh(Figures.Counters);
  IPAdrTable->ShowChanged();
  const QString title =
      (Figures.Direction == DirectionSent ? tr("送信:") : tr("受信:")) + QString::number(Figures.Length);
  SetCaptionAndTitle(tr("ワイヤピーク監視:") + title, title);
  ProgramTable->Refresh();
  ProgramFilter->Again();
  if (lvIPAdr->model() == ProgramFilter) ProgramFilter->Resort();
  ProgramSort->Resort();
  PortTable->Refresh();
  PortSort->Resort();
}

void TMainForm::ShowUnlisted(bool captureEnded) {
  const TAddrTotalsTable& table = IPAdrTable->Table();
  const std::int64_t unlisted = table.Unlisted();
  const auto rows = static_cast<qulonglong>(table.RowLimit());
  // The trace takes lines only while it is bound (in debug mode).
  const bool trace = TraceOutput.WantsText();
  if (captureEnded) {
    if (unlisted > 0 && trace)
      TraceLine("%s", tr("ＩＰアドレス表: %1 個のアドレスは一覧に入りませんでした").arg(unlisted).toStdString().c_str());
    return;
  }
  if (unlisted == ShownUnlisted) return;
  if (ShownUnlisted == 0 && trace)
    TraceLine("%s", tr("ＩＰアドレス表は %1 行で満杯: これ以降のアドレスは数えるだけで一覧に入りません")
                        .arg(rows)
                        .toStdString()
                        .c_str());
  ShownUnlisted = unlisted;
  if (unlisted == 0)
    sbarIPAdr->clearMessage();
  else
    sbarIPAdr->showMessage(tr("%1 個のアドレスは一覧に入りません（表は最大 %2 行）").arg(unlisted).arg(rows));
}

bool TMainForm::FormCloseQuery() {
  if (IPMonitor && IPMonitor->Ioctl->Running) {
    ShowMessageBox(this, App() ? App()->Title() : QStringLiteral("Wirepeek"),
                   tr("パケットモニタ(Capture)が実行中です、止めてください"));
    return false;
  }
  return true;
}

void TMainForm::FormClose() {
  if (Closing) return;
  Closing = true;
  tmMain->stop();
  tmShowFigures->stop();
  IPMonitor->WSA_Close();
  if (IPMonitor->Thread) IPMonitor->CaptureEnd();  // ended by itself
  IPMonitor = nullptr;
  GlobalSettings.Top = frameGeometry().top();
  GlobalSettings.Left = frameGeometry().left();
  // 0 for the size it sizes itself to, so that it goes on following its contents.
  const QSize size = isMaximized() || isFullScreen() ? normalGeometry().size() : this->size();
  const bool natural = size == minimumSize();
  GlobalSettings.Width = natural ? 0 : size.width();
  GlobalSettings.Height = natural ? 0 : size.height();
  try {
    WriteSettings();
  } catch (const EIniFileError& error) {
    if (TraceOutput.WantsText()) TraceOutput.WriteLine(error.what());
    ShowMessageBox(this, QStringLiteral("Wirepeek"), QString::fromUtf8(error.what()), QMessageBox::Warning);
  }
  // The program ends with its main window, whatever other windows are open
  // (the trace window never closes by itself).
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (Closing) {
    event->accept();
    return;
  }
  if (!FormCloseQuery()) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

// The answers come from the map at run time, for the code addresses of the
// calls below; the second line answer must be asked more than ten lines
// below the first.
int TMainForm::CheckMapFile() {
  TMapCheckAnswers answers;
  const std::string mapPath = MapFilePathOf(GlobalSettings.ExePath);
  answers.MapFileName = std::filesystem::path(mapPath).filename().string();
  std::error_code error;
  answers.MapExists = std::filesystem::is_regular_file(mapPath, error);
  if (answers.MapExists) {
    answers.LocationFound = CallerLocation(answers.Location);
    TraceLine("%s", MapLine(answers.Location).c_str());
    answers.File = CallerFile();
    answers.Proc = CallerProc();
    // The line asked here must lie more than ten lines below the one asked
    // for the location above. A map of an older build, where the code of
    // this operation sat elsewhere, then answers with lines that are too
    // close, too far or missing, and the check fails on them. Keep these
    // two calls apart by at least this comment when editing; the check's
    // own tests (the map self-check tests) catch it when they come closer
    // than that.
    answers.Line = CallerLine();
  }
  const TMapCheckVerdict verdict = EvaluateMapCheck(answers);
  if (verdict.Result < 0) {
    TraceAlert("%s", verdict.Alert.c_str());
    // Ends the loop once it has handled what is queued; the close handling
    // (and with it the settings file) is skipped.
    Closing = true;
    // exit, not quit: quit would first ask every window to close, and the
    // trace window refuses.
    QMetaObject::invokeMethod(QCoreApplication::instance(), GuardedSlot([] { QCoreApplication::exit(0); }),
                              Qt::QueuedConnection);
    return verdict.Result;
  }
  TraceLine("%s", MapOkLine(CallerFile(), CallerLine(), CallerProc()).c_str());
  return verdict.Result;
}

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_MainUnit.cpp"
