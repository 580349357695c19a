#pragma once
// Per-user folders for what the program writes outside its own folder, and
// the safe way to write a private file there.
#include <string>
#include <string_view>

// $XDG_STATE_HOME/wirepeek, or ~/.local/state/wirepeek; empty when neither
// is known (no absolute XDG_STATE_HOME and no HOME).
std::string UserStateFolder();

// Makes UserStateFolder() with the folders missing above it, each new one
// 0700, and leaves the state folder itself 0700 (older versions made it
// wider). Returns it; throws std::runtime_error when there is none, when it
// cannot be made, or when it is a link or someone else's.
std::string MakeUserStateFolder();

// Writes Text as Path through a temporary file in the same folder, created
// exclusively with mode 0600, then renamed into place: whatever was at Path,
// a planted link included, is replaced and never followed. Throws
// std::runtime_error ("Cannot create file …" / "Cannot write file …").
void WritePrivateFile(const std::string& Path, std::string_view Text);
