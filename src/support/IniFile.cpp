#include "support/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <utility>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string LowerName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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

bool ParseIniInteger(std::string_view Text, std::int32_t& Value) {
  std::string_view rest = Text;
  bool negative = false;
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  int base = 10;
  if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    base = 16;
    rest.remove_prefix(2);
  } else if (!rest.empty() && rest.front() == '$') {
    base = 16;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return false;
  // One past the int32 maximum is the magnitude of the minimum.
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
  std::int64_t magnitude = 0;
  for (char c : rest) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;  // stops before a long digit run can overflow
  }
  Value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

TIniFile::TIniFile(std::string FileName) : Path(std::move(FileName)) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    // Only a file that is not there counts as empty; one that is there but
    // cannot be read must not be silently replaced by defaults on the next save.
    if (error == ENOENT || error == ENOTDIR) return;
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
  Parse(text);
}

TIniFile TIniFile::FromText(std::string FileName, std::string_view Text) {
  TIniFile ini;
  ini.Path = std::move(FileName);
  ini.Parse(Text);
  return ini;
}

void TIniFile::Parse(std::string_view Text) {
  Sections.clear();
  // Index by lower-case name so that a file with many sections parses in
  // linear time and a repeated header finds its earlier section.
  std::map<std::string, std::size_t> byName;
  TSection* current = nullptr;
  while (!Text.empty()) {
    const auto end = Text.find('\n');
    std::string_view line = Text.substr(0, end);
    Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::string_view trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == ';') continue;
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      const std::string_view name = trimmed.substr(1, trimmed.size() - 2);
      const auto [slot, added] = byName.try_emplace(LowerName(name), Sections.size());
      if (added) Sections.push_back(TSection{std::string(name), {}});
      current = &Sections[slot->second];
      continue;
    }
    if (current == nullptr) continue;
    const auto equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
      current->Lines.push_back(TLine{false, {}, std::string(line)});
    } else {
      current->Lines.push_back(TLine{true, std::string(TrimBlanks(trimmed.substr(0, equals))),
                                     std::string(TrimBlanks(trimmed.substr(equals + 1)))});
    }
  }
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view Name) const {
  for (const auto& section : Sections) {
    if (SameName(section.Name, Name)) return &section;
  }
  return nullptr;
}

TIniFile::TSection* TIniFile::FindSection(std::string_view Name) {
  return const_cast<TSection*>(std::as_const(*this).FindSection(Name));
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Key) const {
  const TSection* section = FindSection(Section);
  if (section == nullptr) return false;
  for (const auto& line : section->Lines) {
    if (line.IsEntry && SameName(line.Key, Key)) return true;
  }
  return false;
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 std::string_view Default) const {
  if (const TSection* section = FindSection(Section)) {
    for (const auto& line : section->Lines) {
      if (line.IsEntry && SameName(line.Key, Key)) return line.Value;
    }
  }
  return std::string(Default);
}

std::int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key,
                                   std::int32_t Default) const {
  std::int32_t value = 0;
  return ParseIniInteger(ReadString(Section, Key, ""), value) ? value : Default;
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Key, bool Default) const {
  return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
  // Store what a later read of the saved file would give back, and refuse what
  // the file cannot hold: a line break would split the entry, and a key with
  // "=" or starting like a comment or header would read back as something else.
  const std::string_view key = TrimBlanks(Key);
  const std::string_view value = TrimBlanks(Value);
  if (HasLineBreak(Section) || HasLineBreak(key) || HasLineBreak(value) ||
      key.find('=') != std::string_view::npos || (!key.empty() && (key.front() == ';' || key.front() == '['))) {
    throw EIniFileError("Cannot store key \"" + std::string(Key) + "\" in section \"" + std::string(Section) +
                        "\" of settings file \"" + Path + "\"");
  }
  TSection* section = FindSection(Section);
  if (section == nullptr) {
    Sections.push_back(TSection{std::string(Section), {}});
    section = &Sections.back();
  }
  for (auto& line : section->Lines) {
    if (line.IsEntry && SameName(line.Key, key)) {
      line.Value = std::string(value);
      return;
    }
  }
  section->Lines.push_back(TLine{true, std::string(key), std::string(value)});
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Key, bool Value) {
  WriteString(Section, Key, Value ? "1" : "0");
}

std::string TIniFile::Text() const {
  std::string text;
  for (const auto& section : Sections) {
    text += '[';
    text += section.Name;
    text += "]\r\n";
    for (const auto& line : section.Lines) {
      if (line.IsEntry) {
        text += line.Key;
        text += '=';
      }
      text += line.Value;
      text += "\r\n";
    }
    text += "\r\n";
  }
  return text;
}

void TIniFile::UpdateFile() const {
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

  if (!WriteAll(fd, Text())) fail(errno);
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
