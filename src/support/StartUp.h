#pragma once
// The program's command-line switches.
#include <string>
#include <vector>

// "-D" (or "-d") sets DebugMode, "-S" (or "-s") sets GlobalSettings.DumpLimit.
// An argument counts only when it is at least two characters long and starts
// with "-"; then only its second character matters, so "--report" and the
// other long options are left alone.
void ParseCommandLine(const std::vector<std::string>& Args);
