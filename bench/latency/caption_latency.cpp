// Time from a lone datagram leaving this host to the main window's caption
// showing it, measured inside the window's own event loop (offscreen).
//   caption_latency ADDR PEER COUNT [HELPER]
// ADDR is the address to capture on, PEER a host on its link that the
// datagrams go to; HELPER, when given, is the capture helper the window uses
// if it may not capture itself. Prints the delays in milliseconds.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/Settings.h"
#include "ui/main/Application.h"
#include "ui/main/MainUnit.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: caption_latency ADDR PEER COUNT [HELPER]\n");
    return 2;
  }
  const QString address = QString::fromLatin1(argv[1]);
  const std::string peer = argv[2];
  const int count = std::atoi(argv[3]);
  SetProgramPaths();
  TApplication application(argc, argv);
  QTemporaryDir settings;
  GlobalSettings.IniPath = settings.filePath(QStringLiteral("wirepeek.ini")).toStdString();
  TMainForm form;
  if (argc > 4) form.Monitor().Ioctl->CaptureHelper = argv[4];
  form.show();
  form.FormActivate();
  const int index = form.cbAdapter->findData(address);
  if (index < 0) {
    std::fprintf(stderr, "caption_latency: %s is not an address of this host\n", argv[1]);
    return 1;
  }
  form.cbAdapter->setCurrentIndex(index);
  form.cbAdapterChange(index);
  form.actCaptureStartExecute();
  if (!form.actCaptureEnd->isEnabled()) return 1;

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  inet_pton(AF_INET, peer.c_str(), &to.sin_addr);
  std::vector<double> delays;
  std::chrono::steady_clock::time_point sent;
  bool waiting = false;
  int round = 0;
  // Each datagram has its own length, so each changes the caption.
  const auto sendOne = [&] {
    std::vector<char> payload(static_cast<std::size_t>(10 + round % 500), 'x');
    sent = std::chrono::steady_clock::now();
    waiting = true;
    sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };
  QObject::connect(&form, &QWidget::windowTitleChanged, [&](const QString& title) {
    if (!waiting || !title.contains(QLatin1Char(':'))) return;
    waiting = false;
    delays.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
    if (++round >= count) {
      application.quit();
      return;
    }
    // A quiet spell first, so each datagram arrives alone.
    QTimer::singleShot(200, sendOne);
  });
  QTimer::singleShot(500, sendOne);
  QTimer::singleShot(count * 1000 + 5000, [&] { application.quit(); });
  application.exec();
  form.actCaptureEndExecute();
  close(fd);
  if (delays.empty()) {
    std::fprintf(stderr, "caption_latency: the caption never changed\n");
    return 1;
  }
  std::sort(delays.begin(), delays.end());
  std::printf("%zu %.2f %.2f %.2f\n", delays.size(), delays.front(), delays[delays.size() / 2], delays.back());
  return 0;
}
