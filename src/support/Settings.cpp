#include "support/Settings.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

TGlobalSettings GlobalSettings;

namespace {

constexpr std::string_view FormSection = "Form";

// Half the free space, so that a window of the given size sits in the middle.
// Worked out in 64 bits: the difference of two int32 may not fit, its half does.
std::int32_t CentredPosition(std::int32_t screenSize, std::int32_t formSize) {
  return static_cast<std::int32_t>((std::int64_t{screenSize} - std::int64_t{formSize}) / 2);
}

// The first run after the settings moved to the configuration folder starts
// from the file beside the executable, so the user's position and any other
// sections carry over; a file there that cannot be read is simply not used.
std::optional<TIniFile> MovedSettingsSeed(const TGlobalSettings& Settings) {
  if (Settings.ExePath.empty()) return std::nullopt;
  const std::string beside = IniPathOf(Settings.ExePath);
  std::error_code error;
  if (beside == Settings.IniPath || std::filesystem::exists(Settings.IniPath, error) ||
      !std::filesystem::is_regular_file(beside, error)) {
    return std::nullopt;
  }
  try {
    return TIniFile::FromText(Settings.IniPath, TIniFile(beside).Text());
  } catch (const EIniFileError&) {
    return std::nullopt;
  }
}

}  // namespace

std::string IniPathOf(std::string_view ExePath) {
  const auto slash = ExePath.rfind('/');
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  const auto dot = ExePath.rfind('.');
  // A dot in a directory name or the leading dot of a hidden file's name does
  // not start an extension.
  const bool hasExtension = dot != std::string_view::npos && dot > nameStart;
  std::string path(hasExtension ? ExePath.substr(0, dot) : ExePath);
  path += ".ini";
  return path;
}

std::string SettingsPathFor(const std::string& ExePath, const std::string& ConfigHome, const TWritableCheck& Writable) {
  if (ExePath.empty()) return {};
  const std::string beside = IniPathOf(ExePath);
  const auto slash = beside.rfind('/');
  std::error_code error;
  const bool fileMissing = !std::filesystem::exists(beside, error);
  // The save makes its new file in the folder of the file a link points to.
  auto resolved = std::filesystem::weakly_canonical(beside, error);
  if (error) resolved = beside;
  const std::string parent = resolved.parent_path().string();
  const std::string folder = parent.empty() ? std::string(".") : parent;
  const bool folderWritable = std::filesystem::is_directory(folder, error) && Writable(folder);
  if ((folderWritable && (fileMissing || Writable(beside))) || ConfigHome.empty()) return beside;
  // Installed where the user may not write: keep the settings in the user's
  // configuration folder under the same name instead of failing every close.
  const auto name = beside.substr(slash == std::string::npos ? 0 : slash + 1);
  return ConfigHome + "/wirepeek/" + name;
}

void ReadSettings(TGlobalSettings& Settings) {
  // Without a readable file the window still opens centred with the pages
  // hidden; the record is filled before any read error goes on to the caller.
  Settings.IniFile.reset();
  Settings.Top = CentredPosition(Settings.ScreenHeight, Settings.FormHeight);
  Settings.Left = CentredPosition(Settings.ScreenWidth, Settings.FormWidth);
  Settings.Width = Settings.Height = 0;
  Settings.StayOnTop = 0;
  Settings.Prot_IPAdr = 0;

  auto ini = std::make_unique<TIniFile>(Settings.IniPath);
  if (auto seed = MovedSettingsSeed(Settings)) ini = std::make_unique<TIniFile>(std::move(*seed));
  Settings.Top = ini->ReadInteger(FormSection, "Top", 0);
  Settings.Left = ini->ReadInteger(FormSection, "Left", 0);
  // 0 is "not placed yet", so a window at the very edge is centred again.
  if (Settings.Top == 0) Settings.Top = CentredPosition(Settings.ScreenHeight, Settings.FormHeight);
  if (Settings.Left == 0) Settings.Left = CentredPosition(Settings.ScreenWidth, Settings.FormWidth);
  Settings.Width = std::max(0, ini->ReadInteger(FormSection, "Width", 0));
  Settings.Height = std::max(0, ini->ReadInteger(FormSection, "Height", 0));
  Settings.StayOnTop = ini->ReadBool(FormSection, "StayOnTop", false) ? 1 : 0;
  Settings.Prot_IPAdr = ini->ReadBool(FormSection, "Prot_IPAdr", false) ? 1 : 0;
  Settings.IniFile = std::move(ini);
}

void WriteSettings(TGlobalSettings& Settings) {
  // Without the file as read there is nothing to merge into: saving only the
  // four keys would throw away every other section of the user's file.
  if (!Settings.IniFile) {
    throw EIniFileError("Settings file \"" + Settings.IniPath + "\" was not read, so it is not saved");
  }
  TIniFile& ini = *Settings.IniFile;
  ini.WriteInteger(FormSection, "Top", Settings.Top);
  ini.WriteInteger(FormSection, "Left", Settings.Left);
  // A window never resized leaves the file as it always was.
  for (const auto& [key, value] : {std::pair{"Width", Settings.Width}, std::pair{"Height", Settings.Height}})
    if (value != 0 || ini.ReadInteger(FormSection, key, 0) != 0) ini.WriteInteger(FormSection, key, value);
  ini.WriteBool(FormSection, "StayOnTop", Settings.StayOnTop != 0);
  ini.WriteBool(FormSection, "Prot_IPAdr", Settings.Prot_IPAdr != 0);
  // The user's configuration folder may not be there yet; a failure shows
  // in UpdateFile's error.
  std::error_code ignored;
  const auto folder = std::filesystem::path(Settings.IniPath).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  ini.UpdateFile();
}
