// The settings file on disk, on Windows.
#include <windows.h>

#include <string>

#include "support/IniFile.h"
#include "support/IniFileIo.h"

namespace {

std::string ErrorText(const std::string& what, const std::string& path, DWORD error) {
  char message[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                 message, sizeof message, nullptr);
  std::string text(message, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) text = "error " + std::to_string(error);
  return what + " \"" + path + "\": " + text;
}

}  // namespace

std::optional<std::string> ReadSettingsText(const std::string& Path) {
  const HANDLE file = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // Only a file that is not there counts as empty.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw EIniFileError(ErrorText("Cannot read settings file", Path, error));
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      throw EIniFileError(ErrorText("Cannot read settings file", Path, error));
    }
    if (got == 0) break;
    text.append(buffer, got);
  }
  CloseHandle(file);
  return text;
}

void ReplaceSettingsFile(const std::string& Path, std::string_view Text) {
  const std::string temporary = Path + ".new";
  const HANDLE file =
      CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw EIniFileError(ErrorText("Cannot save settings file", Path, GetLastError()));
  const auto fail = [&](DWORD error) {
    CloseHandle(file);
    DeleteFileA(temporary.c_str());
    throw EIniFileError(ErrorText("Cannot save settings file", Path, error));
  };
  std::string_view rest = Text;
  while (!rest.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(rest.size() > 1u << 30 ? 1u << 30 : rest.size());
    if (!WriteFile(file, rest.data(), chunk, &written, nullptr)) fail(GetLastError());
    rest.remove_prefix(written);
  }
  if (!FlushFileBuffers(file)) fail(GetLastError());
  CloseHandle(file);
  if (!MoveFileExA(temporary.c_str(), Path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteFileA(temporary.c_str());
    throw EIniFileError(ErrorText("Cannot save settings file", Path, error));
  }
}
