// The settings file on disk, on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "support/IniFile.h"
#include "support/IniFileIo.h"

namespace {

std::string ErrorText(const std::string& what, const std::string& path, int error) {
  return what + " \"" + path + "\": " + std::strerror(error);
}

// Follows symbolic links so that saving replaces the file a link points to
// and leaves the link itself in place. A link to a file that does not exist
// yet resolves to that (new) file.
std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 0) + 256, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0) throw EIniFileError(ErrorText("Cannot save settings file", path, errno));
    if (static_cast<std::size_t>(length) >= target.size()) {
      // The link changed while we looked at it; read it again.
      continue;
    }
    target.resize(static_cast<std::size_t>(length));
    if (!target.empty() && target.front() != '/') {
      const auto slash = current.rfind('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
  }
  throw EIniFileError(ErrorText("Cannot save settings file", path, ELOOP));
}

// The mode a newly created file would get from open(…, 0666).
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        const auto mask = std::stoul(line.substr(6), nullptr, 8);
        return static_cast<mode_t>(0666U & ~mask);
      } catch (const std::exception&) {
        break;
      }
    }
  }
  return 0644;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadSettingsText(const std::string& Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    // Only a file that is not there counts as empty; one that is there but
    // cannot be read must not be silently replaced by defaults on the next save.
    if (error == ENOENT || error == ENOTDIR) return std::nullopt;
    throw EIniFileError(ErrorText("Cannot read settings file", Path, error));
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw EIniFileError(ErrorText("Cannot read settings file", Path, error));
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

void ReplaceSettingsFile(const std::string& Path, std::string_view Text) {
  const std::string target = ResolveLinks(Path);
  const auto slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = directory + (directory.back() == '/' ? "." : "/.") + name + ".XXXXXX";

  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) throw EIniFileError(ErrorText("Cannot save settings file", Path, errno));

  const auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw EIniFileError(ErrorText("Cannot save settings file", Path, error));
  };

  // mkstemp makes the file private; give it the mode (and, where allowed, the
  // owner) of the file it replaces, or the usual mode of a new file.
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    if (::fchmod(fd, old.st_mode & 07777) != 0) fail(errno);
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Only a privileged process may give a file away; keeping our own owner is fine.
    }
  } else if (::fchmod(fd, NewFileMode()) != 0) {
    fail(errno);
  }

  if (!WriteAll(fd, Text)) fail(errno);
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw EIniFileError(ErrorText("Cannot save settings file", Path, error));
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw EIniFileError(ErrorText("Cannot save settings file", Path, error));
  }
  // Make the rename itself durable; the new file is complete either way, so a
  // directory that cannot be synced is not worth failing the save for.
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    static_cast<void>(::fsync(dirFd));
    ::close(dirFd);
  }
}
