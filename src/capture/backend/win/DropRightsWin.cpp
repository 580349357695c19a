// Giving up rights on Windows: every privilege of the process token is
// disabled once the capture is open. There is no switching to another
// account.
#include <windows.h>

#include "capture/backend/DropRights.h"

bool DropRights(const std::string& User, std::string& Error) {
  if (!User.empty()) {
    Error = "cannot become the user " + User + " on Windows";
    return false;
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    Error = "cannot open the process token (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const BOOL adjusted = AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!adjusted) {
    Error = "cannot disable the token's privileges (error " + std::to_string(error) + ")";
    return false;
  }
  return true;
}

bool RunsAsRoot() { return false; }
