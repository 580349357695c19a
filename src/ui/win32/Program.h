#pragma once
// The window program on Windows: the main window, the capture the command
// line asks for, and the message loop.
#include "support/ProgramOptions.h"

// Returns the exit status: 0, or 1 when the main window could not be made.
int RunWindowProgram(const TLongOptions& Options);
