#pragma once
// Copies of the programs under test in a folder every user may enter, for the
// tests that run them as an unprivileged user: a build in root's home is out
// of that user's reach. Removed with the object, on every path.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

class TReachableCopy {
 public:
  // Each file is copied with its link map, where it has one; a checker's
  // suppressions file named in the environment is copied too.
  explicit TReachableCopy(const std::vector<std::filesystem::path>& files) {
    namespace fs = std::filesystem;
    static int count = 0;
    Dir = fs::temp_directory_path() / ("wirepeek-reach-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    fs::permissions(Dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    for (const auto& file : files)
      for (const auto& from : {file, fs::path(file).replace_extension(".map")})
        if (fs::exists(from)) fs::copy_file(from, Dir / from.filename(), fs::copy_options::overwrite_existing);
    for (const char* name : {"TSAN_OPTIONS", "LSAN_OPTIONS"}) {
      const char* options = std::getenv(name);
      const std::string text = options ? options : "";
      const auto at = text.find("suppressions=");
      if (at == std::string::npos) continue;
      const auto end = text.find(':', at);
      const fs::path file = text.substr(at + 13, end == std::string::npos ? end : end - at - 13);
      const fs::path copy = Dir / (std::string(name) + ".supp");
      fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
      Restore.emplace_back(name, text);
      setenv(name, (text.substr(0, at + 13) + copy.string() + (end == std::string::npos ? "" : text.substr(end))).c_str(),
             1);
    }
  }
  ~TReachableCopy() {
    for (const auto& [name, text] : Restore) setenv(name.c_str(), text.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
  }
  TReachableCopy(const TReachableCopy&) = delete;
  TReachableCopy& operator=(const TReachableCopy&) = delete;

  // Where the copy of File is.
  std::string operator()(const std::filesystem::path& file) const { return (Dir / file.filename()).string(); }
  std::filesystem::path Dir;

 private:
  std::vector<std::pair<std::string, std::string>> Restore;
};
