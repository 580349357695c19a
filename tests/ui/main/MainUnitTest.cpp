// The real main window, driven offscreen.
#include "ui/main/MainUnit.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHeaderView>
#include <QLocale>
#include <QTest>
#include <QScreen>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/Datagrams.h"
#include "common/TestNetwork.h"
#include "common/PcapFiles.h"
#include "diagnostics/TraceReport.h"
#include "headless/HeadlessCapture.h"
#include "support/Settings.h"
#include "support/TextDevs.h"
#include "ui/main/Application.h"
#include "ui/main/Dialogs.h"
#include "ui/main/Program.h"
#include "ui/main/RatePage.h"
#include "ui/QtTestEnvironment.h"
#include "common/Files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;


struct TBox {
  QString Caption, Text;
  bool operator==(const TBox&) const = default;
};

class MainWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-ui-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    GlobalSettings = TGlobalSettings{};
    GlobalSettings.IniPath = (Dir / "wirepeek.ini").string();
    SetMessageBoxHook([this](const QString& caption, const QString& text) { Boxes.push_back({caption, text}); });
  }
  void TearDown() override {
    Form.reset();
    SetMessageBoxHook(nullptr);
    SetErrorBoxSink(nullptr);
    fs::remove_all(Dir);
  }

  void WriteIni(const std::string& text) { std::ofstream(GlobalSettings.IniPath, std::ios::binary) << text; }
  std::string ReadIni() { return ReadWholeFile(GlobalSettings.IniPath); }
  void Create() {
    Form = std::make_unique<TMainForm>();
    Form->FormActivate();
  }
  // Points the monitor at a capture file seen from 10.0.0.2.
  void UseFile(const std::string& path) {
    TXIoctl& s = *Form->Monitor().Ioctl;
    s.CaptureFile = path;
    s.Adapters[1] = Addr("10.0.0.2");
    s.AdapterCount = 1;
    s.SelectedAdapter = 1;
  }
  // Runs the window's event loop until the capture thread has finished.
  void FinishFileCapture() {
    TXIoctl& s = *Form->Monitor().Ioctl;
    for (int i = 0; i < 500 && !s.StopEvent.IsSet(); ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  }
  std::string TrafficFile() {
    const auto path = (Dir / "traffic.pcap").string();
    const auto udp = [](const char* from, const char* to, std::uint16_t length, std::uint16_t sp, std::uint16_t dp) {
      return MakeDatagram({.Protocol = 17, .Source = from, .Dest = to, .SourcePort = sp, .DestPort = dp,
                           .TotalLength = length, .Delivered = length});
    };
    const auto tcp = [](const char* from, const char* to, std::uint16_t length, std::uint16_t sp, std::uint16_t dp) {
      return MakeDatagram({.Protocol = 6, .Source = from, .Dest = to, .SourcePort = sp, .DestPort = dp,
                           .TotalLength = length, .Delivered = length});
    };
    WritePcap(path, 228,  // raw IPv4
              {{udp("10.0.0.2", "192.168.0.10", 60, 40000, 53), 1767603903, 250000},
               {udp("192.168.0.10", "10.0.0.2", 1234567 % 65536, 53, 40000), 1767603903, 500000},
               {tcp("10.0.0.2", "9.1.2.3", 1500, 1025, 80), 1767603904, 0},
               {tcp("10.0.0.2", "10.0.0.2", 40, 1025, 110), 1767603905, 0}});
    return path;
  }

  // Count peers of 10.0.0.2, peer i (10.1.0.i+1) sent a datagram of 100 + (i * 37) % Count bytes, each at its own
  // second; captured into the window with the address page on show.
  void CapturePeers(int count) {
    std::vector<TFrame> frames;
    for (std::uint16_t i = 0; i < count; ++i) {
      const auto length = static_cast<std::uint16_t>(100 + (i * 37) % count);
      frames.push_back({MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = ("10.1.0." + std::to_string(i + 1)).c_str(),
                                      .SourcePort = 5000, .DestPort = 6000, .TotalLength = length, .Delivered = length}),
                        1767603903u + i, 0});
    }
    WritePcap((Dir / "peers.pcap").string(), 228, frames);
    Form->cbProt_IPAdr->setChecked(true);
    Form->pcSyukei->setCurrentWidget(Form->tsIPAdr);
    UseFile((Dir / "peers.pcap").string());
    Form->actCaptureStartExecute();
    FinishFileCapture();
    Form->actCaptureEndExecute();
  }

  fs::path Dir;
  std::unique_ptr<TMainForm> Form;
  std::vector<TBox> Boxes;
};

TEST_F(MainWindowTest, FirstStartIsCentredWithSummaryHidden) {
  Create();
  EXPECT_EQ(GlobalSettings.Top, (GlobalSettings.ScreenHeight - 645) / 2);
  EXPECT_EQ(GlobalSettings.Left, (GlobalSettings.ScreenWidth - 765) / 2);
  EXPECT_TRUE(Form->pcSyukei->isHidden());
  EXPECT_FALSE(Form->cbProt_IPAdr->isChecked());
  EXPECT_EQ(Form->centralWidget()->width(), 278 + 184);  // the top strip only
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視■■■■");
  EXPECT_EQ(App()->Title(), "Wirepeek");
  EXPECT_EQ(Form->pcMain->currentWidget(), Form->tsAdapter);
  EXPECT_EQ(GlobalSettings.ProtPageWidth, 493);
  EXPECT_EQ(GlobalSettings.IPAdrPageWidth, 704);
  Form->close();
  EXPECT_EQ(ReadIni(), "[Form]\r\nTop=" + std::to_string(GlobalSettings.Top) + "\r\nLeft=" +
                           std::to_string(GlobalSettings.Left) + "\r\nStayOnTop=0\r\nProt_IPAdr=0\r\n\r\n");
}

TEST_F(MainWindowTest, SummaryPagesFollowTheSettingAndTheTabs) {
  WriteIni("[Form]\r\nTop=40\r\nLeft=-30\r\nProt_IPAdr=2\r\nStayOnTop=1\r\n\r\n[Other]\r\nKeep=yes\r\n");
  Create();
  EXPECT_EQ(GlobalSettings.Top, 40);
  EXPECT_EQ(GlobalSettings.Left, -30);  // a screen left of the primary one
  ASSERT_FALSE(Form->pcSyukei->isHidden());
  EXPECT_TRUE(Form->cbProt_IPAdr->isChecked());
  EXPECT_EQ(Form->pcSyukei->currentWidget(), Form->tsProt);
  EXPECT_EQ(Form->pcSyukei->width(), 493);
  EXPECT_EQ(Form->pnWirepeek->width(), 493 - 276);
  Form->pcSyukei->setCurrentWidget(Form->tsIPAdr);
  EXPECT_EQ(Form->pcSyukei->width(), 704);
  EXPECT_EQ(Form->pnWirepeek->width(), 704 - 276);
  EXPECT_EQ(Form->centralWidget()->width(), 6 + 704);
  Form->pcSyukei->setCurrentWidget(Form->tsRate);
  EXPECT_EQ(Form->pcSyukei->tabText(Form->pcSyukei->currentIndex()), "推移");
  EXPECT_EQ(Form->pcSyukei->width(), 704);

  Form->cbProt_IPAdr->setChecked(false);
  EXPECT_TRUE(Form->pcSyukei->isHidden());
  EXPECT_EQ(GlobalSettings.Prot_IPAdr, 0);
  Form->cbProt_IPAdr->setChecked(true);
  EXPECT_EQ(Form->pcSyukei->currentWidget(), Form->tsProt);
  EXPECT_EQ(Form->pcSyukei->width(), 493);
  Form->close();
  const std::string ini = ReadIni();
  EXPECT_NE(ini.find("Prot_IPAdr=1\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("StayOnTop=1\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("[Other]\r\nKeep=yes\r\n"), std::string::npos) << ini;
}

// The window opens at the size of its contents and may be enlarged: the tables show more rows, and the size
// holds across a page change and the next run. A page change at the screen's edge keeps it on the screen.
TEST_F(MainWindowTest, TheWindowCanBeEnlargedAndStaysOnTheScreen) {
  Create();
  CapturePeers(80);
  Form->show();
  const QSize natural = Form->size(), enlarged = natural + QSize(150, 300);
  const int rows = Form->lvIPAdr->viewport()->height() / Form->lvIPAdr->sizeHintForRow(0);
  Form->resize(enlarged);
  QCoreApplication::processEvents();
  EXPECT_GT(Form->lvIPAdr->indexAt(QPoint(2, Form->lvIPAdr->viewport()->height() - 2)).row(), rows + 10);
  Form->pcSyukei->setCurrentWidget(Form->tsProt);
  EXPECT_EQ(Form->size(), enlarged);
  Form->close();
  Form.reset();
  GlobalSettings.FirstActivate = 1;
  Create();
  EXPECT_EQ(Form->size(), enlarged);

  // At its own size again, its right edge on the screen's: the wider page moves it left.
  WriteIni("[Form]\r\nProt_IPAdr=1\r\n");
  Form.reset();
  Create();
  Form->show();
  const QRect room = Form->screen()->availableGeometry();
  Form->move(room.right() + 1 - Form->frameGeometry().width(), room.top());
  Form->pcSyukei->setCurrentWidget(Form->tsIPAdr);
  EXPECT_EQ(Form->size(), natural);
  EXPECT_LE(Form->frameGeometry().right(), room.right());
  EXPECT_GE(Form->frameGeometry().left(), room.left());
}

// A click on a header orders the address page by that column, the biggest figures first; a second click turns it
// round. A new capture starts in address order.
TEST_F(MainWindowTest, AClickOnAHeaderSortsTheAddressPage) {
  Create();
  CapturePeers(40);  // peers 10.1.0.1 to .40 sent 100 to 139 bytes each, the last one last
  Form->show();
  QHeaderView* header = Form->lvIPAdr->header();
  const auto firstRows = [this](int c) {
    const QAbstractItemModel* shown = Form->lvIPAdr->model();
    return QStringList{shown->index(0, c).data().toString(), shown->index(1, c).data().toString(),
                       shown->index(39, c).data().toString()};
  };
  const std::tuple<int, int, QStringList> clicks[] = {  // section; column, its first, second and last row
      {2, 2, {"139", "138", "100"}}, {2, 2, {"100", "101", "139"}}, {5, 1, {"10.1.0.40", "10.1.0.39", "10.1.0.1"}},
      {1, 1, {"10.1.0.1", "10.1.0.2", "10.1.0.40"}}, {3, 1, {"10.1.0.1", "10.1.0.2", "10.1.0.40"}}};
  for (const auto& [section, c, shown] : clicks) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(section) + 5, 5));
    if (section == 3) CapturePeers(40);  // a new capture after the click: in address order again
    EXPECT_EQ(header->sortIndicatorSection(), section == 3 ? -1 : section);
    EXPECT_EQ(firstRows(c), shown) << section;
  }
}

TEST_F(MainWindowTest, AdapterListIsFilledOnceAndChoiceSelects) {
  Form = std::make_unique<TMainForm>();
  TXIoctl& s = *Form->Monitor().Ioctl;
  s.AdapterCount = 3;
  s.Adapters[1] = Addr("10.0.0.1");
  s.Adapters[2] = Addr("10.0.0.2");
  s.Adapters[3] = Addr("127.0.0.1");
  s.AdapterNames = {};  // none of this host's own listing
  s.AdapterNames[2] = "enp3s0";
  Form->FormActivate();
  Form->FormActivate();  // coming back from another program adds nothing
  ASSERT_EQ(Form->cbAdapter->count(), 3);
  EXPECT_EQ(Form->cbAdapter->itemText(2), "127.0.0.1");
  EXPECT_EQ(Form->cbAdapter->itemText(1), "10.0.0.2 (enp3s0)");
  EXPECT_EQ(Form->cbAdapter->findData("10.0.0.2"), 1);  // how --start finds it
  EXPECT_EQ(Form->cbAdapter->currentIndex(), 0);
  Form->cbAdapterChange(2);
  EXPECT_EQ(s.SelectedAdapter, 3);
}

TEST_F(MainWindowTest, CaptureFromAFileFillsTotalsCaptionAndTables) {
  Create();
  Form->cbProt_IPAdr->setChecked(true);
  UseFile(TrafficFile());
  std::int64_t ms = 0;
  Form->tsRate->Clock = [&ms] { return ms; };
  Form->actCaptureStartExecute();
  EXPECT_EQ(Form->pcMain->currentWidget(), Form->tsCounter);
  EXPECT_FALSE(Form->actCaptureStart->isEnabled());
  EXPECT_TRUE(Form->actCaptureEnd->isEnabled());
  EXPECT_FALSE(Form->actHelp->isEnabled());
  EXPECT_FALSE(Form->actVersion->isEnabled());
  EXPECT_FALSE(Form->pcMain->isTabVisible(2));
  EXPECT_FALSE(Form->btnStart->isEnabled());  // buttons follow their actions
  EXPECT_TRUE(Form->tmMain->isActive());
  FinishFileCapture();

  // 60 + 1500 + 40 sent; 54919 + 40 received (the self-addressed one counts both ways).
  EXPECT_EQ(Form->stSndB->text(), "1,600");
  EXPECT_EQ(Form->stRcvB->text(), QLocale().toString(qlonglong{1234567 % 65536 + 40}));
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視:受信:40");
  EXPECT_EQ(App()->Title(), "受信:40");
  const TProtModel& prot = Form->ProtModel();
  EXPECT_EQ(prot.data(prot.index(0, 1), Qt::DisplayRole).toString(), "1600");
  EXPECT_EQ(prot.data(prot.index(5, 0), Qt::DisplayRole).toString(), "HTTP Client ");
  EXPECT_EQ(prot.data(prot.index(5, 1), Qt::DisplayRole).toString(), "1500");
  EXPECT_EQ(prot.data(prot.index(5, 2), Qt::DisplayRole).toString(), "0");
  EXPECT_EQ(prot.data(prot.index(10, 2), Qt::DisplayRole).toString(), "40");  // POP3 Server, received

  const TIPAdrModel& ip = Form->IPAdrModel();
  ASSERT_EQ(ip.rowCount(), 3);
  const QStringList expected[] = {
      {"**", "9.1.2.3", "1500", "0", "HTTP Client ", "09:05:04"},
      {"**", "10.0.0.2", "40", "40", "POP3 Server", "09:05:05"},
      {"**", "192.168.0.10", "60", QString::number(1234567 % 65536), "DNS Client", "09:05:03"},
  };
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(ip.CellText(r, c), expected[r][c]) << r << "," << c;
  // The next tick, a second after the start, puts the bytes on the rate page.
  ms = 1000;
  Form->tmMainTimer();
  // Each row's rate: its bytes of that second, in readable units.
  const QStringList rates = {"1.50 kB/s", "80 B/s", "55.0 kB/s"};
  for (int r = 0; r < 3; ++r) EXPECT_EQ(ip.CellText(r, RateColumn), rates[r]) << r;
  Form->tsRate->cbRateCategory->setCurrentIndex(5);
  EXPECT_EQ(Form->tsRate->stRateSnd->text(), "送信　現在 1,500 B/s　平均 1,500 B/s　最大 1,500 B/s");
  EXPECT_EQ(Form->tsRate->stRateRcv->text(), "受信　現在 0 B/s　平均 0 B/s　最大 0 B/s");

  Form->actCaptureEndExecute();
  EXPECT_TRUE(Form->actCaptureStart->isEnabled());
  EXPECT_FALSE(Form->actCaptureEnd->isEnabled());
  EXPECT_TRUE(Form->actHelp->isEnabled());
  EXPECT_TRUE(Form->pcMain->isTabVisible(2));
  EXPECT_EQ(Form->pcMain->currentWidget(), Form->tsCounter);  // stays where it was
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視■■■■");
  EXPECT_EQ(App()->Title(), "Wirepeek");
  EXPECT_EQ(ip.rowCount(), 3);  // kept until the next start
  EXPECT_TRUE(Boxes.empty());
}

// A flood of made-up sources: the table stops at its limit, everything is
// still counted, and the window says how many addresses it left out.
TEST_F(MainWindowTest, AddressTableStopsAtItsLimitAndSaysHowManyAreLeftOut) {
  constexpr std::uint32_t kListed = TIPAdrModel::WindowRows, kLeftOut = 3;
  std::vector<TFrame> frames;
  for (std::uint32_t i = 0; i < kListed + kLeftOut; ++i) {
    in_addr from{htonl(0x0B000000u | ((i * 2654435761u) & 0x00FFFFFFu))};  // 11/8, distinct, in no order
    frames.push_back({MakeDatagram({.Protocol = 17, .Source = inet_ntoa(from), .Dest = "10.0.0.2",
                                    .SourcePort = 5000, .DestPort = 6000, .TotalLength = 40, .Delivered = 40}),
                      1767603903, 0});
  }
  const auto path = (Dir / "flood.pcap").string();
  WritePcap(path, 228, frames);
  Create();
  UseFile(path);
  Form->actCaptureStartExecute();
  TXIoctl& s = *Form->Monitor().Ioctl;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!s.StopEvent.IsSet() && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(1ms);
  }
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  TTraceCapture trace;
  Form->actCaptureEndExecute();
  EXPECT_EQ(s.Counters[1][KindPackets][0], kListed + kLeftOut);
  EXPECT_EQ(Form->IPAdrModel().rowCount(), static_cast<int>(kListed));
  EXPECT_EQ(Form->sbarIPAdr->currentMessage(), "3 個のアドレスは一覧に入りません（表は最大 100000 行）");
  EXPECT_EQ(trace.Lines.Lines, std::vector<std::string>{"ＩＰアドレス表: 3 個のアドレスは一覧に入りませんでした"});
  Form->actCaptureStartExecute();  // a new capture starts with an empty table and no note
  EXPECT_EQ(Form->sbarIPAdr->currentMessage(), "");
  Form->actCaptureEndExecute();
}

TEST_F(MainWindowTest, FailedStartLeavesTheWindowIdleWithBothBoxes) {
  Create();
  UseFile((Dir / "missing.pcap").string());
  Form->actCaptureStartExecute();
  EXPECT_EQ(Boxes, (std::vector<TBox>{{"確認", "InitAdapter :WSASocket failed"}, {"確認", "CaptureStart Error"}}));
  EXPECT_TRUE(Form->actCaptureStart->isEnabled());
  EXPECT_FALSE(Form->actCaptureEnd->isEnabled());
  EXPECT_TRUE(Form->actHelp->isEnabled());
  EXPECT_TRUE(Form->actVersion->isEnabled());
  EXPECT_TRUE(Form->pcMain->isTabVisible(2));
  EXPECT_EQ(Form->pcMain->currentWidget(), Form->tsAdapter);
  EXPECT_FALSE(Form->tmMain->isActive());
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視■■■■");
}

TEST_F(MainWindowTest, IdleBlinkAfterFourTicksUntilTheNextNotification) {
  Create();
  UseFile(TrafficFile());
  Form->actCaptureStartExecute();
  FinishFileCapture();
  const QString last = Form->windowTitle();
  for (int i = 0; i < 3; ++i) Form->tmMainTimer();
  EXPECT_EQ(Form->windowTitle(), last);
  Form->tmMainTimer();
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視■□■□");
  EXPECT_EQ(App()->Title(), "■□■□");
  Form->tmMainTimer();
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視□■□■");
  EXPECT_EQ(App()->Title(), "□■□■");
  Form->WMCaptureNotify();
  EXPECT_EQ(Form->windowTitle(), last);
  TXIoctl& state = *Form->Monitor().Ioctl;
  state.CurDirection = 0;
  state.CurLength = 1500;
  Form->WMCaptureNotify();
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視:送信:1500");
  EXPECT_EQ(App()->Title(), "送信:1500");
  Form->tmMainTimer();
  Form->tmMainTimer();
  Form->tmMainTimer();
  Form->tmMainTimer();
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視■□■□");  // the phase goes on where it was
  Form->actCaptureEndExecute();
}

// A flood's notifications: each is served at once, but only a few are drawn
// right away; the last one's figures follow within the interval.
TEST_F(MainWindowTest, ABurstOfNotificationsIsDrawnWithItsLastFigures) {
  Create();
  UseFile(TrafficFile());
  Form->actCaptureStartExecute();
  FinishFileCapture();
  TXIoctl& state = *Form->Monitor().Ioctl;
  int drawn = 0;
  QObject context;
  QObject::connect(App(), &TApplication::TitleChanged, &context, [&] { ++drawn; });
  std::atomic<bool> done{false};
  std::thread capture([&] {
    for (int i = 1; i <= 50; ++i) {
      state.CurDirection = DirectionSent;
      state.CurLength = i;
      state.NotifyWindow->CaptureNotify();  // returns once served
    }
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  capture.join();
  EXPECT_LT(drawn, 25);
  for (int i = 0; i < 100 && Form->windowTitle() != "ワイヤピーク監視:送信:50"; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(Form->windowTitle(), "ワイヤピーク監視:送信:50");
  Form->actCaptureEndExecute();
}

TEST_F(MainWindowTest, ClosingIsRefusedWhileACaptureRuns) {
  Create();
  Form->show();
  Form->Monitor().Ioctl->Running = 1;  // as while the capture thread runs
  Form->actExitExecute();
  EXPECT_TRUE(Form->isVisible());
  EXPECT_EQ(Boxes, (std::vector<TBox>{{"Wirepeek", "パケットモニタ(Capture)が実行中です、止めてください"}}));
  EXPECT_FALSE(fs::exists(GlobalSettings.IniPath));
  Form->Monitor().Ioctl->Running = 0;
  Form->actExitExecute();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(fs::exists(GlobalSettings.IniPath));
}

TEST_F(MainWindowTest, HelpLooksInTheWorkingDirectory) {
  Create();
  Form->HelpFolders.clear();
  QString opened;
  Form->OpenDocument = [&](const QString& path) {
    opened = path;
    return true;
  };
  const auto previous = fs::current_path();
  fs::current_path(Dir);
  Form->actHelpExecute();
  EXPECT_EQ(Boxes, (std::vector<TBox>{{"Wirepeek", "HelpFileが　ありません"}}));
  std::ofstream(Dir / "Wirepeek.html") << "<html></html>";
  Form->actHelpExecute();
  fs::current_path(previous);
  EXPECT_EQ(opened.toStdString(), (Dir / "Wirepeek.html").string());
  EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(MainWindowTest, HelpFallsBackToTheInstalledGuideThenTheSourceTree) {
  Create();
  const fs::path work = Dir / "work", installed = Dir / "installed", source = Dir / "source";
  for (const auto& d : {work, installed, source}) fs::create_directories(d);
  Form->HelpFolders = {QString::fromStdString(installed.string()), QString::fromStdString(source.string()),
                       QString::fromStdString((Dir / "missing").string())};
  std::vector<std::string> opened;
  Form->OpenDocument = [&](const QString& path) {
    opened.push_back(path.toStdString());
    return true;
  };
  const auto previous = fs::current_path();
  fs::current_path(work);
  struct TStep {
    fs::path Add;          // guide written before the command, or empty
    std::string Expected;  // what is opened, or empty for the box
  };
  const std::vector<TStep> steps = {
      {{}, {}},
      {source / "Wirepeek.html", (source / "Wirepeek.html").string()},
      {installed / "Wirepeek.html", (installed / "Wirepeek.html").string()},
      {work / "Wirepeek.html", (work / "Wirepeek.html").string()},
  };
  for (const auto& step : steps) {
    if (!step.Add.empty()) std::ofstream(step.Add) << "<html></html>";
    opened.clear();
    Boxes.clear();
    Form->actHelpExecute();
    if (step.Expected.empty()) {
      EXPECT_TRUE(opened.empty());
      EXPECT_EQ(Boxes, (std::vector<TBox>{{"Wirepeek", "HelpFileが　ありません"}}));
    } else {
      EXPECT_EQ(opened, std::vector<std::string>{step.Expected});
      EXPECT_TRUE(Boxes.empty());
    }
  }
  fs::current_path(previous);
}

TEST(UserGuideTest, ShipsWithEveryPictureItNames) {
  const fs::path docs = fs::path(WIREPEEK_SOURCE_DIR) / "docs";
  const std::string html = ReadWholeFile(docs / "Wirepeek.html");
  ASSERT_FALSE(html.empty()) << "docs/Wirepeek.html is missing";
  EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(html.find("lang=\"ja\""), std::string::npos);
  // Each guide's pictures are there: eight, the English guide's in English.
  const auto pictures = [&docs](const std::string& guide) {
    int count = 0;
    for (std::size_t at = guide.find("src=\""); at != std::string::npos; at = guide.find("src=\"", at + 1)) {
      const auto end = guide.find('"', at + 5);
      const std::string name = guide.substr(at + 5, end - at - 5);
      EXPECT_TRUE(fs::is_regular_file(docs / name)) << name;
      ++count;
    }
    return count;
  };
  EXPECT_EQ(pictures(html), 8);
  // The texts a user sees in the window, as the guide names them.
  for (const char* word : {"アダプタ選択", "Capture 開始", "Capture 終了", "オプション", "推移", "wirepeek-capture"})
    EXPECT_NE(html.find(word), std::string::npos) << word;
  // The English guide shows the same pictures and names the window's English texts.
  const std::string english = ReadWholeFile(docs / "Wirepeek.en.html");
  EXPECT_EQ(pictures(english), 8);
  for (const std::string word : {"lang=\"en\"", "Capture Start", "Capture End", "en/idle.png", "en/protocols.png",
                                 "en/addresses.png", "en/programs.png", "en/ports.png", "en/rates.png", "en/about.png",
                                 "en/trace.png"})
    EXPECT_NE(english.find(word), std::string::npos) << word;
}

TEST_F(MainWindowTest, NoAdapterEndsTheProgramAndStillSavesSettings) {
  Form = std::make_unique<TMainForm>();
  Form->show();
  Form->Monitor().Ioctl->AdapterCount = -1;
  Form->FormActivate();
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(fs::exists(GlobalSettings.IniPath));
}

TEST_F(MainWindowTest, CommandsAreSharedByButtonsAndMenus) {
  Create();
  const auto has = [](QMenu* menu, QAction* action) { return menu->actions().contains(action); };
  EXPECT_TRUE(has(Form->mmiCapture, Form->actCaptureStart));
  EXPECT_TRUE(has(Form->pmiCapture, Form->actCaptureStart));
  EXPECT_TRUE(has(Form->pmMain, Form->actMiniMize));
  EXPECT_TRUE(has(Form->pmMain, Form->actExit));
  EXPECT_EQ(Form->pmMain->title(), "処理メニュー");
  Form->actCaptureStart->setEnabled(false);
  EXPECT_FALSE(Form->btnStart->isEnabled());
  EXPECT_EQ(Form->btnStart->text().remove('\n').remove(' '), "Capture開始");
  const std::pair<QAction*, QString> keys[] = {{Form->actCaptureStart, "Ctrl+S"}, {Form->actCaptureEnd, "Ctrl+E"},
                                               {Form->actHelp, "F1"}, {Form->actExit, "Ctrl+Q"}};
  for (const auto& [action, key] : keys) EXPECT_EQ(action->shortcut().toString(), key) << action->text().toStdString();
}

TEST(MainWindowTextTest, TotalsAreGroupedAndEmptyForZero) {
  EXPECT_EQ(TotalText(0), "");
  EXPECT_EQ(TotalText(1234567), "1,234,567");
  EXPECT_EQ(TotalText(999), "999");
  EXPECT_EQ(TotalText(922337203685477), "922,337,203,685,477");
}

}  // namespace

namespace {

// Root only: real loopback traffic through the window's own notification path.
class MainWindowLive : public MainWindowTest {};
TEST_F(MainWindowLive, LoopbackCaptureReachesTheWindow) {
  if (geteuid() != 0) GTEST_SKIP() << "live capture needs root";
  Create();
  const int index = Form->cbAdapter->findData("127.0.0.1");
  ASSERT_GE(index, 0);
  Form->cbAdapterChange(index);
  Form->actCaptureStartExecute();
  ASSERT_TRUE(Form->actCaptureEnd->isEnabled());
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = Addr("127.0.0.1");
  const char payload[100] = {};
  for (int i = 0; i < 5; ++i) sendto(fd, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  close(fd);
  // The datagrams show within the window's own event loop, promptly (other
  // tests' loopback traffic may show first).
  const auto shown = [this] {
    const int at = Form->IPAdrModel().Table().Find(Addr("127.0.0.1"));
    return at >= 0 && Form->IPAdrModel().Table().Row(at).SentBytes >= 5 * 128;
  };
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!shown() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  // Ending while notifications may be in flight must not hang.
  Form->actCaptureEndExecute();
  const int row = Form->IPAdrModel().Table().Find(Addr("127.0.0.1"));
  ASSERT_GE(row, 0);
  EXPECT_GE(Form->IPAdrModel().Table().Row(row).SentBytes, 5 * 128);
  EXPECT_FALSE(Form->stSndB->text().isEmpty());
  EXPECT_TRUE(Form->actCaptureStart->isEnabled());
}

}  // namespace

namespace {

class MapSelfCheckProgram : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    SetTraceAlertSink([this](const std::string& text) {
      Alerts.push_back(text);
      return AlertResultYes;
    });
    Trace = std::make_unique<TTraceCapture>();
  }
  void TearDown() override {
    Trace.reset();
    SetTraceAlertSink(nullptr);
    MainWindowTest::TearDown();
  }
  std::vector<std::string> Alerts;
  std::unique_ptr<TTraceCapture> Trace;
  TStringLineList& Lines() { return Trace->Lines; }
};

TEST_F(MapSelfCheckProgram, ThisBuildsMapPasses) {
  GlobalSettings.ExePath = RunningExecutablePath();
  Create();
  EXPECT_EQ(Form->CheckMapFile(), 0);
  EXPECT_TRUE(Alerts.empty());
  ASSERT_EQ(Lines().Lines.size(), 2u);
  EXPECT_EQ(Lines().Lines[0].rfind("__MAP__ MainUnit.cpp(", 0), 0u) << Lines().Lines[0];
  EXPECT_NE(Lines().Lines[0].find("TMainForm.CheckMapFile in MainUnit"), std::string::npos) << Lines().Lines[0];
  EXPECT_EQ(Lines().Lines[1].rfind("Map File OK Program Start //MainUnit.cpp(", 0), 0u) << Lines().Lines[1];
  EXPECT_NE(Lines().Lines[1].find(") TMainForm.CheckMapFile"), std::string::npos) << Lines().Lines[1];
}

TEST_F(MapSelfCheckProgram, MissingMapAlertsAndEndsWithoutSavingSettings) {
  GlobalSettings.ExePath = (Dir / "wirepeek").string();  // no map beside it
  Create();
  Form->show();
  EXPECT_EQ(Form->CheckMapFile(), -1);
  EXPECT_EQ(Alerts, (std::vector<std::string>{"map ファイルがありません:wirepeek.map"}));
  // The program is asked to end; its window goes without the close handling.
  Form->close();
  EXPECT_FALSE(fs::exists(GlobalSettings.IniPath));
  QCoreApplication::removePostedEvents(QCoreApplication::instance());
}

}  // namespace

namespace {

// One capture file through the window's report, the exporter's (run as
// shipped) and the endpoint's report object: the same figures, since each
// writes what one capture session gathered.
// For each family, a file of its traffic watched as one of its addresses.
class FrontEndFiguresProgram : public MainWindowTest, public testing::WithParamInterface<bool> {
 protected:
  std::string Ipv6TrafficFile() {
    const auto path = (Dir / "six.pcap").string();
    const auto at = [](std::uint32_t seconds, TDatagram6Spec spec) { return TFrame{MakeDatagram6(spec), seconds, 0}; };
    WritePcap(path, 229,  // raw IPv6
              {at(1767603903, {6, {0x9c, 0x40, 0, 80}, 20, "2001:db8::2", "2001:db8::80"}),
               at(1767603904, {44, {58, 0, 0, 1, 0, 0, 0, 7, 129, 0}, 1240, "fe80::1", "2001:db8::2"}),
               at(1767603905, {17, {0, 53, 0, 53}, 60, "2001:db8::2", "2001:db8::2"}),
               at(1767603906, {17, {0, 53, 0, 53}, 60, "2001:db8::7", "2001:db8::8"})});
    return path;
  }
};

TEST_P(FrontEndFiguresProgram, OneFileGivesTheSameReportInEveryFrontEnd) {
  const bool six = GetParam();
  const std::string adapter = six ? "2001:db8::2" : "10.0.0.2";
  const std::string file = six ? Ipv6TrafficFile() : TrafficFile();
  const auto untimed = [](const std::string& json) {
    return std::regex_replace(json, std::regex(R"("time":"[^"]*")"), R"("time":"T")");
  };
  Create();
  UseFile(file);
  ASSERT_TRUE(TIpAddress::Parse(adapter, Form->Monitor().Ioctl->Adapters[1]));
  Form->actCaptureStartExecute();
  FinishFileCapture();
  Form->actCaptureEndExecute();
  std::ostringstream window;
  WriteReportJson(WindowReportFigures(*Form, adapter, false), window);

  const std::string command = std::string(WIREPEEK_EXPORTER) + " --report --adapter " + adapter + " --read " + file + " --json";
  std::string exporter;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  for (char buffer[4096]; const std::size_t n = fread(buffer, 1, sizeof buffer, pipe);) exporter.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << exporter;

  std::ostringstream err;
  THeadlessCapture endpoint;
  ASSERT_TRUE(endpoint.Start(adapter, file, err)) << err.str();
  endpoint.Wait(-1, 0ms, [] {});
  ASSERT_EQ(endpoint.End(err), 0) << err.str();
  const std::string served = ReportJsonLine(adapter, true, endpoint.Figures().Snapshot(true));

  EXPECT_NE(untimed(window.str()).find(six ? R"("total_packets":4,"total_bytes":1540)" : R"("total_packets":4,"total_bytes":)"),
            std::string::npos)
      << window.str();
  EXPECT_EQ(untimed(exporter), untimed(window.str()));
  EXPECT_EQ(untimed(served), untimed(window.str()));
}

INSTANTIATE_TEST_SUITE_P(Families, FrontEndFiguresProgram, testing::Bool(),
                         [](const auto& p) { return std::string(p.param ? "Ipv6" : "Ipv4"); });

}  // namespace
