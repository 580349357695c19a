// Takes the README's and the guides' pictures of the main window: idle, and a
// capture with each summary page; with "en", in the window's English texts.
// Run under a real X server (Xvfb) so the real fonts are used:
//   xvfb-run -s "-screen 0 1280x1024x24" build/tools/wirepeek-screenshots docs
//   xvfb-run -s "-screen 0 1280x1024x24" build/tools/wirepeek-screenshots docs/en en
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QHeaderView>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTranslator>
#include <chrono>
#include <cmath>
#include <memory>
#include <string_view>
#include <cstdio>
#include <vector>

#include "capture/DumpPacket.h"
#include "ui/trace/TraceUnit.h"
#include "support/Settings.h"
#include "support/TextDevs.h"
#include "ui/about/AboutUnit.h"
#include "ui/main/Application.h"
#include "ui/main/MainUnit.h"
#include "ui/main/RatePage.h"
#include "names/NameResolver.h"

namespace {

std::uint32_t Addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

void Save(QWidget* window, const QString& path) {
  QCoreApplication::processEvents();
  if (!window->grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

// Names for the picture's addresses, as a resolver would give them.
class TPictureNames final : public TNameResolver {
 public:
  TNameAnswer Reverse(const TIpAddress& addr) override {
    static const std::pair<const char*, const char*> names[] = {
        {"192.168.1.1", "router.home.arpa"}, {"93.184.216.34", "www.example.com"},
        {"10.20.0.7", "mail.corp.example"},  {"8.8.8.8", "dns.google"}};
    for (const auto& [text, name] : names)
      if (addr.Text() == text) return {TNameAnswer::TKind::Named, name, 3600};
    return {TNameAnswer::TKind::NoName, {}, 3600};
  }
};

// A plausible few minutes of traffic, fed through the notification handler.
void Feed(TMainForm& form) {
  TXIoctl& s = *form.Monitor().Ioctl;
  struct TRec {
    const char* Addr;
    std::uint8_t Direction, Category;
    std::int64_t Length;
    int Count;
    std::uint16_t H, M, S;
    std::uint8_t Protocol = 0;
    std::uint16_t LocalPort = 0, RemotePort = 0;
  };
  const TRec traffic[] = {
      {"192.168.1.1", 0, 3, 74, 40, 14, 2, 11, 17, 40312, 53},
      {"192.168.1.1", 1, 3, 190, 40, 14, 2, 11, 17, 40312, 53},
      {"93.184.216.34", 0, 5, 1420, 120, 14, 3, 2, 6, 51544, 80},
      {"93.184.216.34", 1, 5, 1500, 900, 14, 3, 5, 6, 51544, 80},
      {"10.20.0.7", 0, 13, 600, 30, 14, 1, 40, 6, 43110, 25},
      {"10.20.0.7", 1, 13, 90, 30, 14, 1, 41, 6, 43110, 25},
      {"192.168.1.30", 1, 14, 229, 12, 14, 3, 7, 17, 138, 138},
      {"8.8.8.8", 1, 1, 84, 6, 14, 0, 58},
      {"8.8.8.8", 0, 1, 84, 6, 14, 0, 58},
      {"203.0.113.9", 1, 16, 1350, 210, 14, 3, 9, 6, 52210, 443},
      {"203.0.113.9", 0, 16, 120, 60, 14, 3, 9, 6, 52210, 443},
  };
  for (const auto& t : traffic) {
    for (int i = 0; i < t.Count; ++i) {
      auto& c = s.Counters[t.Direction];
      c[KindPackets][0] += 1;
      c[KindBytes][0] += t.Length;
      c[KindPackets][t.Category] += 1;
      c[KindBytes][t.Category] += t.Length;
      s.RecordQueue.push_back({.RemoteAddr = Addr(t.Addr), .Direction = t.Direction, .Category = t.Category,
                               .Length = t.Length, .Hour = t.H, .Minute = t.M, .Second = t.S,
                               .Protocol = t.Protocol, .LocalPort = t.LocalPort, .RemotePort = t.RemotePort});
    }
  }
  s.CurDirection = 1;
  s.CurLength = 1500;
  form.WMCaptureNotify();
}

// A child process named Name that holds a UDP socket on 127.0.0.1 until it
// is killed; the socket's port is written back through a pipe.
pid_t SocketHolder(const char* name, std::uint16_t& port) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_NAME, name);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = Addr("127.0.0.1");
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    const std::uint16_t bound = ntohs(a.sin_port);
    if (write(ends[1], &bound, sizeof bound) != sizeof bound) _exit(1);
    pause();
    _exit(0);
  }
  close(ends[1]);
  if (read(ends[0], &port, sizeof port) != sizeof port) port = 0;
  close(ends[0]);
  return pid;
}

// The program page of a loopback capture: three programs of made-up names
// holding real sockets, their traffic fed as records, and the page's own
// look-ups finding them.
void FeedPrograms(TMainForm& form) {
  struct TTalker {
    const char* Name;
    std::int64_t Sent, Received;
    std::uint8_t Category;
  };
  const TTalker talkers[] = {{"firefox-esr", 48200, 2310400, 5}, {"thunderbird", 9600, 131700, 11},
                             {"systemd-resolve", 2800, 6400, 3}};
  std::vector<pid_t> children;
  TXIoctl& s = *form.Monitor().Ioctl;
  form.ProgramModel().AboutToRestart();
  form.CaptureSession().Restart(true, Addr("127.0.0.1"));
  form.ProgramModel().Restarted();
  std::uint16_t remote = 40000;
  for (const auto& t : talkers) {
    std::uint16_t port = 0;
    children.push_back(SocketHolder(t.Name, port));
    for (const auto& [direction, bytes] : {std::pair<std::uint8_t, std::int64_t>{0, t.Sent}, {1, t.Received}})
      s.RecordQueue.push_back({.RemoteAddr = Addr("127.0.0.1"), .Direction = direction, .Category = t.Category,
                               .Length = bytes, .Hour = 14, .Minute = 3, .Second = 9, .Protocol = 17,
                               .LocalPort = port, .RemotePort = remote});
    ++remote;
  }
  form.WMCaptureNotify();
  form.ProgramModel().Flush();
  form.ProgramModel().SampleRates();
  for (const pid_t pid : children) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool english = argc == 3 && std::string_view(argv[2]) == "en";
  if (argc != 2 && !english) {
    std::fprintf(stderr, "usage: wirepeek-screenshots OUTDIR [en]\n");
    return 2;
  }
  TApplication application(argc, argv);
  QTranslator translator;
  if (english && translator.load(QStringLiteral(":/i18n/wirepeek_en.qm"))) application.installTranslator(&translator);
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  QTemporaryDir settings;
  GlobalSettings.IniPath = settings.filePath("wirepeek.ini").toStdString();

  // The trace window in debug mode, with the dump of two datagrams.
  DebugMode = true;
  GlobalSettings.ExePath = "wirepeek";
  TTraceForm trace;
  const std::uint8_t query[] = {0x45, 0x00, 0x00, 0x3C, 0x1C, 0x46, 0x40, 0x00, 0x40, 0x11, 0x9A, 0x2B,
                                0xC0, 0xA8, 0x01, 0x14, 0xC0, 0xA8, 0x01, 0x01, 0x9C, 0x40, 0x00, 0x35,
                                0x00, 0x28, 0x5B, 0x3A, 0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x00, 0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',
                                0x03, 'c',  'o',  'm',  0x00, 0x00, 0x01, 0x00, 0x01, 0xB1, 0xDD, 0xA7};
  TLocalTime now{.Year = 2026, .Month = 12, .Day = 7, .Hour = 14, .Minute = 2, .Second = 11};
  DumpPacket(TraceOutput, TPacketView(query, sizeof query), sizeof query, 0, now);
  trace.resize(760, 420);
  trace.MemoLines().Flush();
  Save(&trace, out + "/trace.png");

  // The dialog describes the program itself, built beside this tool.
  TAboutForm about(nullptr, (QCoreApplication::applicationDirPath() + "/../wirepeek").toStdString());
  about.show();
  Save(&about, out + "/about.png");
  about.hide();

  TMainForm form;
  form.show();
  form.FormActivate();
  Save(&form, out + "/idle.png");

  // The look of a running capture, without one running.
  form.cbProt_IPAdr->setChecked(true);
  form.pcMain->setCurrentWidget(form.tsCounter);
  form.pcMain->setTabVisible(form.pcMain->indexOf(form.tsOption), false);
  form.actCaptureStart->setEnabled(false);
  form.actCaptureEnd->setEnabled(true);
  form.setWindowTitle(TMainForm::tr("ワイヤピーク監視:") + TMainForm::tr("受信:") + QStringLiteral("1500"));
  form.CaptureSession().StartNames(std::make_shared<TPictureNames>());
  Feed(form);
  form.CaptureSession().FlushNames(std::chrono::seconds(2));
  QCoreApplication::processEvents();
  form.IPAdrModel().SampleRates();
  form.PortModel().SampleRates();
  Save(&form, out + "/protocols.png");
  // Enlarged to show the rate, the biggest senders first.
  form.pcSyukei->setCurrentWidget(form.tsIPAdr);
  form.resize(form.width() + 260, form.height() + 40);
  form.lvIPAdr->header()->setSortIndicator(2, Qt::DescendingOrder);
  Save(&form, out + "/addresses.png");
  form.pcSyukei->setCurrentWidget(form.tsPort);
  form.lvPort->header()->setSortIndicator(3, Qt::DescendingOrder);
  Save(&form, out + "/ports.png");
  FeedPrograms(form);
  form.pcSyukei->setCurrentWidget(form.tsProgram);
  Save(&form, out + "/programs.png");

  // Ten minutes of a download that comes and goes, fed a second at a time
  // (the first tick only takes the totals above as its base).
  std::int64_t ms = 0;
  form.tsRate->Clock = [&ms] { return ms; };
  TXIoctl& s = *form.Monitor().Ioctl;
  for (int second = 0; second <= 600; ++second) {
    const double wave = 0.5 + 0.5 * std::sin(second / 45.0);
    const auto received = static_cast<std::int64_t>(80000 * wave * wave) + (second * second * 31 + 17) % 23 * 500;
    for (const auto& [direction, bytes] : {std::pair<std::size_t, std::int64_t>{0, received / 15 + 400}, {1, received}}) {
      s.Counters[direction][KindBytes][0] += bytes;
      s.Counters[direction][KindBytes][5] += bytes;  // HTTP Client
    }
    form.WMCaptureNotify();
    ms = second * 1000;
    form.tsRate->Tick(form.ProtModel());
  }
  form.pcSyukei->setCurrentWidget(form.tsRate);
  Save(&form, out + "/rates.png");
  return 0;
}
