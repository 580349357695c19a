#pragma once
// The window program's start-up and shutdown: application object, switches,
// trace window, main window, version dialog, map check, message loop, and the
// windows destroyed in reverse order.
#include <functional>
#include <memory>
#include <string>

#include "ui/main/AssertBox.h"

class TMainForm;

struct TProgramHooks {
  // Makes the main window; the real one when empty.
  std::function<std::unique_ptr<TMainForm>()> MakeMainForm;
  // Runs once the windows exist, before the map check and the message loop.
  std::function<void(TMainForm&)> Created;
};

// What the command line asks the window to do at once (parsed with the
// other long options, so --start=ADDR and --start ADDR both work).
struct TWindowStart {
  std::string Address;  // --start: pick it and press "Capture 開始"; empty: nothing
  long QuitAfter = -1;  // --quit-after: then end, print the JSON object and quit
  bool Programs = true;  // --no-programs clears it: no per-program page
};

// Runs the window program on argc/argv (the toolkit removes its own options
// from them first). Returns the exit status: 0, or 1 when the main window
// could not be built or the link map did not belong to the build.
int RunWindowProgram(int& argc, char** argv, const TProgramHooks& Hooks = {}, const TWindowStart& Start = {});
