// A Windows program always has its desktop to show its window on.
#include "app/CommandLine.h"

bool DisplayAvailable(TEnvironment, const std::string&) { return true; }
