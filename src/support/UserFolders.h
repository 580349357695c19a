#pragma once
// Per-user folders for what the program writes outside its own folder.
#include <string>

// $XDG_STATE_HOME/wirepeek, or ~/.local/state/wirepeek; empty when neither
// is known (no absolute XDG_STATE_HOME and no HOME).
std::string UserStateFolder();
