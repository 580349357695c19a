#pragma once
// The report and the endpoint open their capture with the rights they were
// started with and give them up at once: started as root, they go on as an
// unprivileged user that nothing they run could turn back into root.
#include <iosfwd>

#include "support/ProgramOptions.h"

class THeadlessCapture;

// Starts Capture on Options' address (or file), then drops every right: the
// process becomes Options.User (default nobody) when it runs as root, and
// every thread of it ends without capabilities. Program look-ups, when asked
// for, start only then. False, with the reason on Err, when it cannot.
bool StartUnprivileged(THeadlessCapture& Capture, const TLongOptions& Options, std::ostream& Err);
