// Wirepeek's entry point: the start-up sequence of the windows, or a front
// end without a window when the options ask for one.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "capture/XIoctlUnit.h"
#include "diagnostics/Assertion.h"
#include "diagnostics/TraceReport.h"
#include "diagnostics/ZExWatcher.h"
#include "headless/CommandLine.h"
#include "support/FaultInjection.h"
#include "support/Settings.h"
#include "support/WorkerGuard.h"
#include "ui/main/Program.h"

int main(int argc, char** argv) {
  // Before anything can fault: the fault handlers, then the assertion
  // handler and the paths.
  InstallDiagnosticHooks();
  InstallAssertionHandler();
  InstallAssertBox();
  SetProgramPaths();
  if (const std::string error = ArmFaults(std::getenv("WIREPEEK_FAULT")); !error.empty()) {
    std::cerr << "wirepeek: WIREPEEK_FAULT: " << error << std::endl;
    return 2;
  }
  // A fault in a thread of ours ends that thread's work, not the program.
  WorkerGuard = RunThreadWork;
  const std::vector<std::string> args(argv + 1, argv + argc);
  // --help, --version, bad options, --report and --serve end here.
  TLongOptions options;
  int status = 0;
  if (const auto exitCode = RunCommandLine(args, options, std::cout, std::cerr, SystemEnvironment)) {
    status = *exitCode;
  } else {
    status = RunWindowProgram(argc, argv, {}, {options.Start, options.QuitAfter, options.Programs});
  }
  // A fault's way out skipped a clean-up: say so, for it is a fault of ours.
  if (!InjectedLocksFree()) {
    std::cerr << "wirepeek: a lock taken around a fault is still held" << std::endl;
    if (status == 0) status = 1;
  }
  return status;
}
