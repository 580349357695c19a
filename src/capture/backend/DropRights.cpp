#include "capture/backend/DropRights.h"

#include <cap-ng.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

bool DropRights(const std::string& user, std::string& error) {
  capng_get_caps_process();
  // The bounding set can be emptied only with CAP_SETPCAP; without it, no
  // new privileges keeps exec from using what the set still allows.
  const bool mayBound = capng_have_capability(CAPNG_EFFECTIVE, CAP_SETPCAP) != 0;
  capng_clear(CAPNG_SELECT_ALL);
  // Forbidden first, so that no moment shows the new user with new
  // privileges still allowed.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    error = std::string("cannot forbid new privileges: ") + std::strerror(errno);
    return false;
  }
  int result = 0;
  if (!user.empty()) {
    passwd entry{}, *found = nullptr;
    std::vector<char> text(16384);
    if (getpwnam_r(user.c_str(), &entry, text.data(), text.size(), &found) != 0 || !found) {
      // A number names the user by its uid.
      char* end = nullptr;
      const unsigned long uid = std::strtoul(user.c_str(), &end, 10);
      if (user.find_first_not_of("0123456789") != std::string::npos || *end ||
          getpwuid_r(static_cast<uid_t>(uid), &entry, text.data(), text.size(), &found) != 0 || !found) {
        error = "there is no user " + user;
        return false;
      }
    }
    // Root, under any of its names, would keep every right a capture gives.
    if (found->pw_uid == 0) {
      error = "will not go on as " + user + " (uid 0): name an unprivileged user";
      return false;
    }
    result = capng_change_id(static_cast<int>(found->pw_uid), static_cast<int>(found->pw_gid),
                             static_cast<capng_flags_t>(CAPNG_DROP_SUPP_GRP | CAPNG_CLEAR_BOUNDING));
    if (result != 0) {
      error = "cannot become " + user + " (" + std::to_string(result) + "): " + std::strerror(errno);
      return false;
    }
  } else {
    result = capng_apply(mayBound ? CAPNG_SELECT_BOTH : CAPNG_SELECT_CAPS);
    if (result != 0) {
      error = "cannot give up the capabilities (" + std::to_string(result) + "): " + std::strerror(errno);
      return false;
    }
  }
  // What the kernel now says, not what was asked for.
  capng_get_caps_process();
  if (capng_have_capabilities(CAPNG_SELECT_CAPS) != CAPNG_NONE) {
    error = "capabilities are left after dropping them";
    return false;
  }
  return true;
}

bool RunsAsRoot() { return geteuid() == 0; }
