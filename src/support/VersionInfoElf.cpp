// The version block and the build date of an ELF executable.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "support/Settings.h"
#include "support/VersionInfo.h"

std::string BuildDateTextOf(const std::string& Path) {
  struct stat status {};
  if (::stat(Path.c_str(), &status) != 0) return {};
  std::tm local{};
  const std::time_t written = status.st_mtime;
  if (::localtime_r(&written, &local) == nullptr) return {};
  char text[96];
  std::snprintf(text, sizeof text, "%d/%d/%d,%d:%d:%d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

TAboutVersionInfo LoadVersionInfo(const std::string& ExePath) {
  TAboutVersionInfo info;
  info.AboutExePath = ExePath;
  info.BuildDateText = BuildDateTextOf(ExePath);
  const TVersionInfo version = TVersionInfo::FromFile(ExePath);
  info.VersionInfoSize = version.Size();
  if (info.VersionInfoSize == 0) {
    info.LoadLines.emplace_back("No version information found");
    return info;
  }
  info.LoadLines.push_back("VersionInfoSize =" + std::to_string(info.VersionInfoSize));
  for (std::size_t i = 0; i < VersionKeyCount; ++i) {
    if (auto value = version.Value(VersionKeys[i])) info.VersionValues[i] = std::move(*value);
  }
  return info;
}

TAboutVersionInfo LoadVersionInfo() { return LoadVersionInfo(RunningExecutablePath()); }
