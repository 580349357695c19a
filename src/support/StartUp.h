#pragma once
// The program's command-line switches, as the command line's parser found
// them.
#include "support/ProgramOptions.h"

// "-D" sets DebugMode, "-S" sets GlobalSettings.DumpLimit; neither clears
// what is already set.
void ApplySwitches(const TLongOptions& Options);
