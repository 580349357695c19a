#pragma once
// The program's command-line switches, as the command line's parser found
// them.
#include "support/ProgramOptions.h"

// "-D" sets DebugMode and never clears it; "-S" goes to each capture the
// window opens.
void ApplySwitches(const TLongOptions& Options);
