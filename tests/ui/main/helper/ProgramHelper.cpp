// The window program, started as main() starts it, with a scenario that
// faults on purpose. test_ui_main runs it in child processes.
//   wirepeek_program_helper <scenario> [program arguments...]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "support/Assertion.h"
#include "support/FaultInjection.h"
#include "support/WorkerGuard.h"
#include "diagnostics/TraceReport.h"
#include "diagnostics/ZExWatcher.h"
#include "support/Settings.h"
#include "support/TextDevs.h"
#include "ui/main/Dialogs.h"
#include "ui/main/MainUnit.h"
#include "ui/main/RatePage.h"
#include "ui/main/Program.h"
#include "ui/trace/TraceUnit.h"

#include <QTimer>
#include "app/CommandLine.h"

int main(int argc, char** argv) {
  InstallDiagnosticHooks();
  InstallAssertionHandler();
  SetProgramPaths();
  // As the program's front door does.
  if (!ArmFaults(std::getenv("WIREPEEK_FAULT")).empty()) return 2;
  WorkerGuard = RunThreadWork;
  if (argc < 2) return 2;
  const std::string scenario = argv[1];
  // The program sees the arguments after the scenario.
  argv[1] = argv[0];
  int programArgc = argc - 1;
  char** programArgv = argv + 1;
  TProgramHooks hooks;
  if (scenario == "build") {
    hooks.MakeMainForm = []() -> std::unique_ptr<TMainForm> { throw std::runtime_error("no window today"); };
  } else if (scenario == "badmap") {
    // The alert's dialog would wait for a person: answer it on standard output.
    hooks.Created = [](TMainForm&) {
      SetTraceAlertSink([](const std::string& text) {
        std::printf("ALERT %s\n", text.c_str());
        std::fflush(stdout);
        return AlertResultYes;
      });
    };
  } else if (scenario == "pages") {
    // What a user does that no timer does: the summary pages shown (the
    // models answer the view), the rate page shown (it paints), and a command
    // of the trace window's menu, each half a second after the last.
    hooks.Created = [](TMainForm& form) {
      QTimer::singleShot(500, &form, [&form] { form.cbProt_IPAdr->setChecked(true); });
      QTimer::singleShot(1000, &form, [&form] { form.pcSyukei->setCurrentWidget(form.tsRate); });
      QTimer::singleShot(1500, &form, [] { TraceForm->mmiMainForm->trigger(); });
    };
  } else if (scenario == "boxes") {
    // Every message box, on standard output instead of the screen.
    hooks.Created = [](TMainForm&) {
      SetMessageBoxHook([](const QString& caption, const QString& text) {
        std::printf("BOX %s\n%s\nEND\n", caption.toUtf8().constData(), text.toUtf8().constData());
        std::fflush(stdout);
      });
    };
  } else {
    return 2;
  }
  TLongOptions options;
  std::string error;
  if (!ParseCommandLine({programArgv + 1, programArgv + programArgc}, options, error)) return 2;
  return RunWindowProgram(programArgc, programArgv, hooks, options);
}
