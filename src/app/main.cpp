// Wirepeek's entry point: the window, or a front end without one when the
// options ask for it.
#include "app/FrontDoor.h"
#include "ui/main/AssertBox.h"
#include "ui/main/Program.h"

int main(int argc, char** argv) {
  return RunFrontDoor(argc, argv, [](int& windowArgc, char** windowArgv, const TLongOptions& options) {
    // A failed assertion in the window program is shown in a box.
    InstallAssertBox();
    return RunWindowProgram(windowArgc, windowArgv, {}, options);
  });
}
