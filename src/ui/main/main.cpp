// Wirepeek's entry point: the start-up sequence of the windows, or a front
// end without a window when the options ask for one.
#include <iostream>
#include <string>
#include <vector>

#include "capture/XIoctlUnit.h"
#include "diagnostics/Assertion.h"
#include "diagnostics/ZExWatcher.h"
#include "headless/CommandLine.h"
#include "support/Settings.h"
#include "ui/main/Program.h"

int main(int argc, char** argv) {
  // 1. Module initialisation: exception hooks, assertion handler, paths.
  InstallDiagnosticHooks();
  InstallAssertionHandler();
  InstallAssertBox();
  SetProgramPaths();
  // A fault in the capture thread ends that capture, not the program.
  TCaptureThread::LoopGuard = [](const std::function<void()>& loop) { return RunAbandonable(loop); };
  const std::vector<std::string> args(argv + 1, argv + argc);
  // --help, --version, bad options, --report and --serve end here.
  TLongOptions options;
  if (const auto exitCode = RunCommandLine(args, options, std::cout, std::cerr, SystemEnvironment)) return *exitCode;
  return RunWindowProgram(argc, argv);
}
