// wirepeek.exe: the window in the platform's own controls, or a front end
// without one when the options ask for it.
#include "app/FrontDoor.h"
#include "ui/win32/Program.h"

int main(int argc, char** argv) {
  return RunFrontDoor(argc, argv,
                      [](int&, char**, const TLongOptions& options) { return RunWindowProgram(options); });
}
