#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "capture/HeadlessReport.h"
#include "support/Settings.h"

int main(int argc, char** argv) {
  SetProgramPaths();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (WantsHeadlessReport(args)) return RunHeadlessReport(args, std::cout, std::cerr);
  std::printf("Wirepeek: the window is not there yet; for a capture without it use\n"
              "  wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json]\n");
  return 0;
}
