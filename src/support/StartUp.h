#pragma once
// The program's command-line switches.
#include <string>
#include <vector>

// "-D" (or "-d") sets DebugMode, "-S" (or "-s") sets GlobalSettings.DumpLimit.
// An argument counts only when it is at least two characters long and starts
// with "-"; then only its second character matters, so "--report" and the
// other long options are left alone.
void ParseCommandLine(const std::vector<std::string>& Args);

// Args without the window toolkit's own options (and their values): the
// toolkit removes the ones its platform uses, but a platform that does not
// use, say, "-display" or "-sync" leaves them, and they are not ours.
std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string>& Args);
