#pragma once
// What a user does to capture without being root, for a front end to say in
// the user's own language.
#include <string>

struct TRightsFix {
  enum class TKind {
    None,          // the failure was not for lack of rights
    NotInstalled,  // no capture helper: install the package
    JoinGroup,     // the helper is there but not ours to run: join Group
    SetCap,        // the helper has lost its rights: give them back
  };
  TKind Kind = TKind::None;
  std::string HelperPath;
  std::string Group;
  std::string User;  // the user to add to Group
};
