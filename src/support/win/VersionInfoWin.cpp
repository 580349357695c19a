// The version resource and the build date of a Windows executable, read
// with the version library: the string block "041103A4" only.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/Settings.h"
#include "support/VersionInfo.h"

namespace {

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

}  // namespace

std::string BuildDateTextOf(const std::string& Path) {
  // The directory entry's last-write time, in local time.
  WIN32_FIND_DATAA entry{};
  const HANDLE find = FindFirstFileA(Path.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return {};
  FindClose(find);
  FILETIME local{};
  SYSTEMTIME parts{};
  if (!FileTimeToLocalFileTime(&entry.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &parts)) return {};
  char text[96];
  std::snprintf(text, sizeof text, "%d/%d/%d,%d:%d:%d", parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                parts.wMinute, parts.wSecond);
  return text;
}

TAboutVersionInfo LoadVersionInfo(const std::string& ExePath) {
  TAboutVersionInfo info;
  info.AboutExePath = ExePath;
  info.BuildDateText = BuildDateTextOf(ExePath);
  // The wide calls: the texts stay whole whatever the system's code page.
  const std::wstring path = Wide(ExePath);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  info.VersionInfoSize = size;
  if (size == 0) {
    info.LoadLines.emplace_back("No version information found");
    return info;
  }
  info.LoadLines.push_back("VersionInfoSize =" + std::to_string(size));
  std::vector<unsigned char> block(size, 0);
  GetFileVersionInfoW(path.c_str(), 0, size, block.data());
  for (std::size_t i = 0; i < VersionKeyCount; ++i) {
    const std::wstring query = L"\\StringFileInfo\\" + Wide(std::string(VersionTableName)) + L"\\" +
                               Wide(std::string(VersionKeys[i]));
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), query.c_str(), &value, &length) && value)
      info.VersionValues[i] = Utf8(static_cast<const wchar_t*>(value));
  }
  return info;
}

TAboutVersionInfo LoadVersionInfo() { return LoadVersionInfo(RunningExecutablePath()); }
