// Wirepeek's entry point: the start-up sequence of the windows, or the
// headless report when asked for.
#include <iostream>
#include <string>
#include <vector>

#include "capture/HeadlessReport.h"
#include "capture/XIoctlUnit.h"
#include "diagnostics/Assertion.h"
#include "diagnostics/ZExWatcher.h"
#include "support/Settings.h"
#include "ui/main/Program.h"

namespace {

const char* const Usage =
    "usage: wirepeek [-D] [-S] [--start ADDR [--quit-after SECONDS]]\n"
    "       wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json]\n"
    "  -D  debug mode: the trace window shows diagnostics and every packet\n"
    "  -S  packet dumps show at most the first 256 bytes\n"
    "  --start ADDR          start capturing on ADDR at once\n"
    "  --quit-after SECONDS  then end the capture, print its totals as JSON and quit\n";

bool Has(const std::vector<std::string>& args, const char* name) {
  for (const auto& a : args)
    if (a == name) return true;
  return false;
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

  return RunWindowProgram(argc, argv);
}
