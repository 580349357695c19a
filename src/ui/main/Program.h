#pragma once
// The window program's start-up and shutdown: application object, switches,
// trace window, main window, version dialog, map check, message loop, and the
// windows destroyed in reverse order.
#include <functional>
#include <memory>
#include <string>

#include "support/ProgramOptions.h"
#include "ui/main/AssertBox.h"

class TMainForm;
struct TReportFigures;

struct TProgramHooks {
  // Makes the main window; the real one when empty.
  std::function<std::unique_ptr<TMainForm>()> MakeMainForm;
  // Runs once the windows exist, before the map check and the message loop.
  std::function<void(TMainForm&)> Created;
};

// Runs the window program on argc/argv, which the toolkit reads for its own
// options; everything else comes parsed in Options (the switches, --start,
// --quit-after). Returns the exit status: 0, or 1 when the main window
// could not be built or the link map did not belong to the build.
int RunWindowProgram(int& argc, char** argv, const TProgramHooks& Hooks = {}, const TLongOptions& Options = {});

// The figures of the window's capture for its report (--quit-after), once
// the capture has ended: waits briefly for the last program look-ups.
TReportFigures WindowReportFigures(TMainForm& Form, const std::string& Adapter, bool Live);
