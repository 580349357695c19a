#pragma once
// The process-wide settings record and the settings file beside the executable.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "support/IniFile.h"

struct TGlobalSettings {
  std::string ExePath;
  std::string IniPath;
  std::unique_ptr<TIniFile> IniFile;
  std::uint8_t FirstActivate = 1;
  std::int32_t ScreenHeight = 0;
  std::int32_t ScreenWidth = 0;
  std::int32_t Top = 0;
  std::int32_t Left = 0;
  // The main window's outer size as the user left it; 0 while it has the
  // size it sizes itself to. Keys "Width" and "Height".
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t FormHeight = 0;
  std::int32_t FormWidth = 0;
  std::int32_t ProtPageWidth = 0;
  std::int32_t IPAdrPageWidth = 0;
  std::uint8_t StayOnTop = 0;
  std::uint8_t Prot_IPAdr = 0;
  std::uint8_t BlinkPhase = 0;
  // The window layer's menus that carry the command submenu; opaque here.
  void* AppSystemMenu = nullptr;
  void* MainSystemMenu = nullptr;
};

extern TGlobalSettings GlobalSettings;

// ExePath with ".ini" in place of its extension, or appended when the file
// name has none.
std::string IniPathOf(std::string_view ExePath);
// The running executable's full path (empty when the system will not say).
std::string RunningExecutablePath();
// Whether this process may write Path (a file, or a folder it would create
// files in).
using TWritableCheck = std::function<bool(const std::string& Path)>;
bool MayWrite(const std::string& Path);
// Where the settings live: IniPathOf(ExePath), unless the program is
// installed where that file cannot be saved (a system folder: a save
// replaces the file through a new one beside it, so the folder must take new
// files even when the file itself is writable); then the same name under
// ConfigHome/wirepeek/.
std::string SettingsPathFor(const std::string& ExePath, const std::string& ConfigHome,
                            const TWritableCheck& Writable = MayWrite);
// Sets ExePath and IniPath from the running executable.
void SetProgramPaths(TGlobalSettings& Settings = GlobalSettings);

// Needs IniPath, the screen and form sizes. Fills IniFile, Top, Left, Width, Height,
// StayOnTop and Prot_IPAdr; a top or left of 0 means centred. A missing file
// gives the defaults, or, when the settings have moved to the user's
// configuration folder, starts from the file beside ExePath. A file that exists but cannot be read throws
// EIniFileError after the defaults (centred, pages hidden) are set; IniFile
// stays null then, so WriteSettings will not overwrite that file.
void ReadSettings(TGlobalSettings& Settings = GlobalSettings);
// Needs ReadSettings to have run. Stores the four keys and rewrites the
// file; throws EIniFileError when the file cannot be written.
void WriteSettings(TGlobalSettings& Settings = GlobalSettings);
