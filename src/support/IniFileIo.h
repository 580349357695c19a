#pragma once
// How the settings file is read and replaced on this platform.
#include <optional>
#include <string>
#include <string_view>

// The whole file; nullopt when there is none. A file that is there but
// cannot be read throws EIniFileError.
std::optional<std::string> ReadSettingsText(const std::string& Path);
// Replaces the file (the one a link points to, where links exist) with
// Text through a temporary file beside it, so a failed save leaves the old
// file whole. Throws EIniFileError with the reason.
void ReplaceSettingsFile(const std::string& Path, std::string_view Text);
