#include "support/UserFolders.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string UserStateFolder() {
  // A relative value is to be ignored, as if unset.
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return std::string(xdg) + "/wirepeek";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.local/state/wirepeek";
  return {};
}

std::string MakeUserStateFolder() {
  const std::string folder = UserStateFolder();
  if (folder.empty()) throw std::runtime_error("no state folder (HOME is not set)");
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      throw std::runtime_error("Cannot create folder \"" + part + "\": " + std::strerror(errno));
    if (slash == std::string::npos) break;
  }
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  const bool ours = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && ::fchmod(fd, 0700) == 0;
  if (fd >= 0) ::close(fd);
  if (!ours) throw std::runtime_error("Cannot use folder \"" + folder + "\": not a folder of this user");
  return folder;
}

void WritePrivateFile(const std::string& Path, std::string_view Text) {
  std::string temporary = Path + ".XXXXXX";
  // mkstemp creates with O_EXCL and mode 0600.
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) throw std::runtime_error("Cannot create file \"" + Path + "\"");
  bool written = true;
  for (std::size_t done = 0; written && done < Text.size();) {
    const ssize_t n = ::write(fd, Text.data() + done, Text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  written = ::close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), Path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("Cannot write file \"" + Path + "\"");
  }
}
