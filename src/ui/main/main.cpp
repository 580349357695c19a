// Wirepeek's entry point: the start-up sequence of the windows, or the
// headless report when asked for.
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "capture/HeadlessReport.h"
#include "diagnostics/Assertion.h"
#include "diagnostics/TraceUnit.h"
#include "diagnostics/ZExWatcher.h"
#include "support/Settings.h"
#include "support/StartUp.h"
#include "support/TextDevs.h"
#include "ui/about/AboutUnit.h"
#include "ui/main/Application.h"
#include "ui/main/ClickProbe.h"
#include "ui/main/MainUnit.h"

namespace {

const char* const Usage =
    "usage: wirepeek [-D] [-S] [--start ADDR [--quit-after SECONDS]]\n"
    "       wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json]\n"
    "  -D  debug mode: the trace window shows diagnostics and every packet\n"
    "  -S  packet dumps show at most the first 256 bytes\n"
    "  --start ADDR          start capturing on ADDR at once\n"
    "  --quit-after SECONDS  then end the capture, print its totals as JSON and quit\n";

// Value of a long option, or empty.
std::string Option(const std::vector<std::string>& args, const char* name) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == name) return args[i + 1];
  return {};
}

bool Has(const std::vector<std::string>& args, const char* name) {
  for (const auto& a : args)
    if (a == name) return true;
  return false;
}

// --start: pick the address and press "Capture 開始", as a user would.
void StartCapture(TMainForm& form, const QString& address, int quitAfter) {
  form.FormActivate();
  const int index = form.cbAdapter->findText(address);
  if (index < 0) {
    std::cerr << "wirepeek: " << address.toStdString() << " is not an address of this host\n";
    return;
  }
  form.cbAdapter->setCurrentIndex(index);
  form.cbAdapterChange(index);
  form.actCaptureStartExecute();
  if (quitAfter < 0) return;
  // How long clicks wait meanwhile, for the benchmarks that read the report.
  auto* probe = new TClickProbe(form.stSndB, 100, &form);
  QTimer::singleShot(quitAfter * 1000, &form, [&form, address, probe] {
    const bool live = form.actCaptureEnd->isEnabled();
    if (live) form.actCaptureEndExecute();
    TReportFigures figures;
    figures.Clicks = probe->Count();
    figures.ClickMedianMs = probe->MedianMs();
    figures.ClickMaxMs = probe->MaxMs();
    if (DebugMode) {
      // The dumps taken before the end reach the trace first, so their
      // counts are final.
      const TDumpFormatter& dumps = form.Monitor().Ioctl->Dumps;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!dumps.Idle() && std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      figures.HasDumps = true;
      figures.DumpsWritten = dumps.Written();
      figures.DumpsSkipped = dumps.Skipped();
    }
    figures.Adapter = address.toStdString();
    figures.State = form.Monitor().Ioctl.get();
    figures.Addresses = &form.IPAdrModel().Table();
    figures.Live = live;
    if (live && form.Monitor().Ioctl->CaptureSocket) figures.Kernel = form.Monitor().Ioctl->CaptureSocket->Statistics();
    WriteReportJson(figures, std::cout);
    std::cout.flush();
    form.close();
  });
}

}  // namespace

int main(int argc, char** argv) {
  // 1. Module initialisation: exception hooks, assertion handler, paths.
  InstallDiagnosticHooks();
  InstallAssertionHandler();
  SetProgramPaths();
  // A fault in the capture thread ends that capture, not the program.
  TCaptureThread::LoopGuard = [](const std::function<void()>& loop) { return RunAbandonable(loop); };
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (WantsHeadlessReport(args)) return RunHeadlessReport(args, std::cout, std::cerr);
  if (Has(args, "--help")) {
    std::cout << Usage;
    return 0;
  }

  // 2 to 4.
  TApplication application(argc, argv);
  application.SetTitle(QStringLiteral("Wirepeek"));
  DebugMode = false;
  ParseCommandLine(args);
  // 5. The trace window first, so everything after it can report.
  auto traceForm = std::make_unique<TTraceForm>();
  application.GuardEvents = true;
  // 6, 7.
  auto mainForm = std::make_unique<TMainForm>();
  auto aboutForm = std::make_unique<TAboutForm>(mainForm.get());
  mainForm->SetVersionDialog(aboutForm.get());
  // 8. A map that does not belong to this build ends the program at once.
  mainForm->CheckMapFile();
  // 9.
  mainForm->show();
  const std::string start = Option(args, "--start");
  if (!start.empty()) {
    const std::string quit = Option(args, "--quit-after");
    const int quitAfter = quit.empty() ? -1 : std::max(0, std::atoi(quit.c_str()));
    QTimer::singleShot(0, mainForm.get(), [form = mainForm.get(), start, quitAfter] {
      StartCapture(*form, QString::fromStdString(start), quitAfter);
    });
  }
  application.exec();
  // 10. In reverse order of creation; the trace window saves its log last.
  application.GuardEvents = false;
  aboutForm.reset();
  mainForm.reset();
  traceForm.reset();
  return 0;
}
