#pragma once
// The entry point both executables share: the fault and assertion handlers,
// the program's paths, faults made on purpose, the one command line, and
// the front end it chooses.
#include <functional>

#include "support/ProgramOptions.h"

// The window, for the executable that has one.
using TWindowFrontEnd = std::function<int(int& Argc, char** Argv, const TLongOptions& Options)>;

// Runs the program; returns its exit status. Without a window front end a
// command line that asks for the window is refused.
int RunFrontDoor(int Argc, char** Argv, const TWindowFrontEnd& Window);
