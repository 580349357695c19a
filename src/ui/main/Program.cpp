#include "ui/main/Program.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>
#include <QTimer>
#include <platform/Sockets.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "report/Report.h"
#include "diagnostics/TraceReport.h"
#include "ui/trace/TraceUnit.h"
#include "capture/backend/IpAddress.h"
#include "support/FaultInjection.h"
#include "support/StartUp.h"
#include "support/TextDevs.h"
#include "ui/about/AboutUnit.h"
#include "ui/main/Application.h"
#include "ui/main/ClickProbe.h"
#include "ui/main/MainUnit.h"
#include "ui/trace/GuardedEntry.h"

namespace {

// --quit-after: after that long the capture ends, its report is printed and
// the window closes.
void QuitAfter(TMainForm& form, const QString& address, int quitAfter) {
  if (quitAfter < 0) return;
  // How long clicks wait meanwhile, for the benchmarks that read the report.
  auto* probe = new TClickProbe(form.stSndB, 100, &form);
  QTimer::singleShot(quitAfter * 1000, &form, GuardedSlot([&form, address, probe] {
    // A file is never live, whether its reading has ended or not.
    const bool running = form.actCaptureEnd->isEnabled();
    const bool live = running && form.Monitor().Ioctl->CaptureFile.empty();
    if (running) form.actCaptureEndExecute();
    TReportFigures figures = WindowReportFigures(form, address.toStdString(), live);
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
    WriteReportJson(figures, std::cout);
    std::cout.flush();
    form.close();
  }));
}

// --start: pick the address (the item's data; its text adds the interface) and press "Capture 開始", as a
// user would.
void StartCapture(TMainForm& form, const QString& address, int quitAfter) {
  form.FormActivate();
  // The list writes an IPv6 address as inet_ntop does, whatever way it was
  // given.
  TIpAddress parsed;
  std::string scope;
  const QString listed = TIpAddress::Parse(address.toStdString(), parsed, &scope)
                             ? QString::fromStdString(parsed.Text() + (scope.empty() ? "" : "%" + scope))
                             : address;
  const int index = form.cbAdapter->findData(listed);
  if (index < 0) {
    std::cerr << "wirepeek: " << address.toStdString() << " is not an address of this host\n";
    // A script waiting for the report would wait for ever: the run ends now,
    // as a failure.
    if (quitAfter >= 0) {
      form.close();
      QCoreApplication::exit(1);
    }
    return;
  }
  form.cbAdapter->setCurrentIndex(index);
  form.cbAdapterChange(index);
  form.actCaptureStart->trigger();
  QuitAfter(form, address, quitAfter);
}

// --read: the file is counted as the report counts it, seen from the address
// given, which is then the one address in the list.
void ReadCapture(TMainForm& form, const QString& file, const QString& address, int quitAfter) {
  form.FormActivate();
  TXIoctl& state = *form.Monitor().Ioctl;
  state.CaptureFile = file.toStdString();
  // An interface is seen with the addresses it holds now.
  if (!state.SelectAdapter(address.toStdString())) {
    std::cerr << "wirepeek: " << address.toStdString() << " is not an address of this host\n";
    form.close();
    QCoreApplication::exit(1);
    return;
  }
  form.cbAdapter->clear();
  form.cbAdapter->addItem(state.AdapterIsInterface[1] ? QString::fromStdString(AdapterEntryText(state, 1)) : address,
                          address);
  form.actCaptureStart->trigger();
  QuitAfter(form, address, quitAfter);
}

}  // namespace

TReportFigures WindowReportFigures(TMainForm& form, const std::string& adapter, bool live) {
  TReportFigures figures;
  figures.Adapter = adapter;
  figures.State = form.Monitor().Ioctl.get();
  figures.Addresses = &form.IPAdrModel().Table();
  // The last look-ups are waited for (briefly), so that no byte is left parked.
  form.ProgramModel().Flush();
  figures.Programs = form.ProgramModel().Table();
  // The names as the address page's cells show them, once those asked for have come.
  if (form.CaptureSession().NamesOn()) {
    form.CaptureSession().FlushNames(std::chrono::seconds(2));
    figures.HostName = [&page = form.IPAdrModel()](const TIpAddress& address) {
      return page.CellText(page.Table().Find(address), NameColumn).toStdString();
    };
  }
  figures.Ports = &form.CaptureSession().Ports();
  figures.Live = live;
  if (live && form.Monitor().Ioctl->CaptureSocket) figures.Kernel = form.Monitor().Ioctl->CaptureSocket->Statistics();
  return figures;
}

int RunWindowProgram(int& argc, char** argv, const TProgramHooks& Hooks, const TLongOptions& Options) {
  TApplication application(argc, argv);
  application.SetTitle(QStringLiteral("Wirepeek"));
  // English for users whose locale is English; every other locale, and C,
  // keeps the window's own texts.
  QTranslator english;
  if (QLocale::system().language() == QLocale::English && english.load(QStringLiteral(":/i18n/wirepeek_en.qm")))
    application.installTranslator(&english);
  DebugMode = false;
  ApplySwitches(Options);
  // The trace window first, so everything after it can report.
  auto traceForm = std::make_unique<TTraceForm>();
  application.GuardEvents = true;
  // The main window and the version dialog. A failure here is reported like
  // any other; the program then ends with its log saved.
  FaultPoint(TFaultPoint::StartUp);
  std::unique_ptr<TMainForm> mainForm;
  std::unique_ptr<TAboutForm> aboutForm;
  const bool built = RunEventHandler([&] {
    mainForm = Hooks.MakeMainForm ? Hooks.MakeMainForm() : std::make_unique<TMainForm>();
    aboutForm = std::make_unique<TAboutForm>(mainForm.get());
    mainForm->SetVersionDialog(aboutForm.get());
  });
  int status = 0;
  if (built) {
    mainForm->ProgramModel().Enabled = Options.Programs;
    mainForm->actHostNames->setChecked(Options.Names.value_or(true));
    mainForm->Monitor().Ioctl->DumpLimit = Options.DumpLimit ? 1 : 0;
    if (Hooks.Created) Hooks.Created(*mainForm);
    // A map that does not belong to this build ends the program at once.
    if (mainForm->CheckMapFile() < 0) status = 1;
    // Shown, then a capture started from the command line once the loop runs.
    mainForm->show();
    const int quitAfter = Options.QuitAfter < 0 ? -1 : static_cast<int>(Options.QuitAfter);
    if (!Options.Start.empty()) {
      const std::string start = Options.Start;
      QTimer::singleShot(0, mainForm.get(), GuardedSlot([form = mainForm.get(), start, quitAfter] {
        StartCapture(*form, QString::fromStdString(start), quitAfter);
      }));
    } else if (!Options.File.empty()) {
      const std::string file = Options.File, adapter = Options.Adapter;
      QTimer::singleShot(0, mainForm.get(), GuardedSlot([form = mainForm.get(), file, adapter, quitAfter] {
        ReadCapture(*form, QString::fromStdString(file), QString::fromStdString(adapter), quitAfter);
      }));
    }
    if (const int loop = application.exec(); loop != 0) status = loop;
  } else {
    std::cerr << "wirepeek: the main window could not be created: " << LastExceptionMessage << std::endl;
    traceForm->SaveOnClose = true;
    status = 1;
  }
  // Torn down in reverse order of creation; the trace window saves its log last.
  application.GuardEvents = false;
  aboutForm.reset();
  mainForm.reset();
  FaultPoint(TFaultPoint::Shutdown);
  traceForm.reset();
  return status;
}
