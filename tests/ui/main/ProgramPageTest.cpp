// The window's program and port pages on a live capture in a private
// namespace: a program's row, and the address page narrowed to its peers by a
// click; a TCP transfer to port 443 as 443/tcp https. Root only.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QHeaderView>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "common/Datagrams.h"
#include "common/TestNetwork.h"
#include "common/TestSockets.h"
#include "support/Settings.h"
#include "ui/main/Dialogs.h"
#include "ui/main/MainUnit.h"

namespace {

using namespace std::chrono_literals;

TEST(ProgramPageLive, AClickNarrowsTheAddressPageToTheProgramsPeersAndASecondShowsAll) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  const auto dir = std::filesystem::temp_directory_path() / ("wirepeek-page-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::shared_ptr<void> cleanUp(nullptr, [&](void*) {
    SetMessageBoxHook(nullptr);
    std::filesystem::remove_all(dir);
  });
  GlobalSettings = TGlobalSettings{};
  GlobalSettings.IniPath = (dir / "wirepeek.ini").string();
  SetMessageBoxHook([](const QString&, const QString& text) { ADD_FAILURE() << text.toStdString(); });
  TTestNamespace ns("wpwin" + std::to_string(getpid()));
  TInNamespace inside(ns);
  auto form = std::make_unique<TMainForm>();
  form->FormActivate();
  EXPECT_EQ(form->pcSyukei->tabText(2), QStringLiteral("プログラム別集計"));
  form->cbAdapterChange(form->cbAdapter->findData("127.0.0.1"));
  form->actCaptureStartExecute();
  ASSERT_TRUE(form->actCaptureEnd->isEnabled());

  // This program sends to 127.0.0.3; ping (no socket of its own to find) to 127.0.0.2 and 127.0.0.3.
  TFd sink(socket(AF_INET, SOCK_DGRAM, 0)), from(socket(AF_INET, SOCK_DGRAM, 0));
  Bind(sink, "127.0.0.3", 9);
  const auto to = Endpoint("127.0.0.3", 9);
  const char payload[100] = {};
  for (int i = 0; i < 5; ++i) sendto(from, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ns.Run("ping -c 2 -i 0.2 127.0.0.2");
  ns.Run("ping -c 1 127.0.0.3");
  std::string self;
  std::getline(std::ifstream("/proc/self/comm"), self);
  TProgramModel& programs = form->ProgramModel();
  const auto rowOf = [&](const std::string& name) {
    for (int r = 0; r < programs.rowCount(); ++r)
      if (programs.CellText(r, 0).toStdString() == name) return r;
    return -1;
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const auto counted = [&](const std::string& name, const char* sent) {
    return rowOf(name) >= 0 && programs.CellText(rowOf(name), 2) == sent;
  };
  while (!(counted(self, "640") && counted("(kernel / other)", "252")) && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  form->actCaptureEndExecute();
  ASSERT_GE(rowOf(self), 0);
  EXPECT_EQ(programs.CellText(rowOf(self), 1), QStringLiteral("root"));
  EXPECT_EQ(programs.CellText(rowOf(self), 2), QString::number(5 * 128));

  // Each click shows the peers of the program clicked, with its share of their bytes sent (five datagrams of 128
  // bytes; ping's of 84), and says so; the same one again, all of them, as does the page's own way back.
  const std::tuple<std::string, QStringList, bool> clicks[] = {  // program (none: the way back), rows, narrowed
      {self, {"127.0.0.3 640"}, true},
      {"(kernel / other)", {"127.0.0.2 168", "127.0.0.3 84"}, true},
      {"(kernel / other)", {"127.0.0.2 168", "127.0.0.3 724"}, false},
      {self, {"127.0.0.3 640"}, true},
      {"", {"127.0.0.2 168", "127.0.0.3 724"}, false}};
  for (const auto& [program, shown, narrowed] : clicks) {
    program.empty() ? form->btnShowAll->click() : form->lvProgramClick(programs.index(rowOf(program), 0));
    const QAbstractItemModel* page = form->lvIPAdr->model();
    QStringList rows;
    for (int r = 0; r < page->rowCount(); ++r) rows << page->index(r, 1).data().toString() + " " + page->index(r, 2).data().toString();
    EXPECT_EQ(rows, shown) << program;
    EXPECT_EQ(!form->btnShowAll->isHidden() && form->stNarrowed->text().contains(program.c_str()), narrowed) << program;
  }
}

// UDP to the discard and syslog ports and a TCP transfer to port 443 are rows named from the system's list, the
// transfer with the bytes of its peer's row on the address page; a click on the header of the bytes sent puts the
// transfer first and the syslog datagrams last.
TEST(PortPageLive, ATransferToPort443Is443TcpHttpsAndAHeaderClickSortsThePage) {
  SKIP_WITHOUT_TEST_NAMESPACES();
  const auto dir = std::filesystem::temp_directory_path() / ("wirepeek-ports-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::shared_ptr<void> cleanUp(nullptr, [&](void*) { std::filesystem::remove_all(dir); });
  GlobalSettings = TGlobalSettings{};
  GlobalSettings.IniPath = (dir / "wirepeek.ini").string();
  TTestNamespace ns("wpport" + std::to_string(getpid()));
  TInNamespace inside(ns);
  auto form = std::make_unique<TMainForm>();
  form->FormActivate();
  form->cbAdapterChange(form->cbAdapter->findData("127.0.0.1"));
  form->actCaptureStartExecute();
  // Nobody listens on the UDP ports: their answers are ICMP, which has no port.
  TFd server(socket(AF_INET, SOCK_STREAM, 0)), client(socket(AF_INET, SOCK_STREAM, 0));
  Bind(server, "127.0.0.4", 443);
  listen(server, 1);
  SendUdp("127.0.0.1", 40000, "127.0.0.3", 9, 100, 5);
  SendUdp("127.0.0.1", 40000, "127.0.0.3", 514, 100, 2);
  const auto to = Endpoint("127.0.0.4", 443);
  const std::string data(20000, 'd');
  ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  ASSERT_EQ(send(client, data.data(), data.size(), 0), 20000);
  const auto rows = [&] {  // the first four cells of each row of the page
    const QAbstractItemModel* page = form->lvPort->model();
    QStringList shown;
    for (int r = 0; r < page->rowCount(); ++r)
      shown << QStringList{page->index(r, 0).data().toString(), page->index(r, 1).data().toString(),
                           page->index(r, 2).data().toString(), page->index(r, 3).data().toString()}.join(' ');
    return shown;
  };
  const auto https = [&] {  // the row of port 443 as the address page has its peer
    for (int r = 0; r < form->IPAdrModel().rowCount(); ++r)
      if (form->IPAdrModel().CellText(r, 1) == "127.0.0.4")
        return "443/tcp https " + form->IPAdrModel().CellText(r, 2) + " " + form->IPAdrModel().CellText(r, 3);
    return QString();
  };
  const auto shown = [&] { return rows() == QStringList{"9/udp discard 640 0", https(), "514/udp syslog 256 0"}; };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (https().section(' ', 2, 2).toLongLong() <= 20000 && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  form->actCaptureEndExecute();
  EXPECT_TRUE(shown()) << rows().join(", ").toStdString();
  form->cbProt_IPAdr->setChecked(true);
  form->pcSyukei->setCurrentWidget(form->tsPort);
  form->show();
  QHeaderView* header = form->lvPort->header();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(2) + 5, 5));
  EXPECT_EQ(rows(), (QStringList{https(), "9/udp discard 640 0", "514/udp syslog 256 0"})) << rows().join(", ").toStdString();
}

}  // namespace
