// Wirepeek's entry point: the start-up sequence of the windows, or a front
// end without a window when the options ask for one.
#include <QTimer>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/Assertion.h"
#include "diagnostics/TraceUnit.h"
#include "diagnostics/ZExWatcher.h"
#include "headless/CommandLine.h"
#include "headless/HeadlessReport.h"
#include "support/Settings.h"
#include "support/StartUp.h"
#include "support/TextDevs.h"
#include "ui/about/AboutUnit.h"
#include "ui/main/Application.h"
#include "ui/main/MainUnit.h"

namespace {

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
  QTimer::singleShot(quitAfter * 1000, &form, [&form, address] {
    const bool live = form.actCaptureEnd->isEnabled();
    if (live) form.actCaptureEndExecute();
    TReportFigures figures;
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
  // --help, --version, bad options, --report and --serve end here.
  TLongOptions options;
  if (const auto exitCode = RunCommandLine(args, options, std::cout, std::cerr, SystemEnvironment)) return *exitCode;

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
  const std::string start = options.Start;
  if (!start.empty()) {
    const int quitAfter = static_cast<int>(options.QuitAfter);
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
