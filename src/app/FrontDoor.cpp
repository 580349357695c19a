#include "app/FrontDoor.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "diagnostics/DiagnosticHooks.h"
#include "support/Assertion.h"
#include "support/FaultInjection.h"
#include "support/Settings.h"
#include "support/WorkerGuard.h"

int RunFrontDoor(int argc, char** argv, const TWindowFrontEnd& window) {
  // Before anything can fault: the fault handlers, then the assertion
  // handler and the paths.
  InstallDiagnosticHooks();
  InstallAssertionHandler();
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
  const TFrontEnds frontEnds{.Window = static_cast<bool>(window)};
  int status = 0;
  if (const auto exitCode = RunCommandLine(args, options, std::cout, std::cerr, SystemEnvironment, frontEnds))
    status = *exitCode;
  else
    status = window(argc, argv, options);
  // A fault's way out skipped a clean-up: say so, for it is a fault of ours.
  if (!InjectedLocksFree()) {
    std::cerr << "wirepeek: a lock taken around a fault is still held" << std::endl;
    if (status == 0) status = 1;
  }
  return status;
}
