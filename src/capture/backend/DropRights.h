#pragma once
// Giving up the rights a capture needed, once it is open: shared by the
// capture helper and the metrics endpoint.
#include <string>

// Empties the calling thread's capabilities (and its bounding set where it
// may) and forbids new privileges through exec. When User is not empty the
// whole process first becomes that account, with its group and no
// supplementary groups; that needs root. User may be a name or a uid, not
// root's. False with Error when any step
// fails: the caller must then not go on.
bool DropRights(const std::string& User, std::string& Error);

// Whether the process runs with the rights of the system's administrator
// account that --user turns into another (root); never on Windows, which
// has no switching to another account.
bool RunsAsRoot();
