#include "headless/Unprivileged.h"

#include <ostream>
#include <string>

#include "capture/backend/DropRights.h"
#include "headless/HeadlessCapture.h"

bool StartUnprivileged(THeadlessCapture& capture, const TLongOptions& options, std::ostream& err) {
  const bool root = RunsAsRoot();
  if (!options.User.empty() && !root) {
    err << "wirepeek: --user needs the program to start as root\n";
    return false;
  }
  const std::string user = root ? (options.User.empty() ? "nobody" : options.User) : "";
  capture.DropCapabilitiesOnCaptureThread = true;
  // The capture thread holds on to its rights until this thread has changed
  // the user of every thread: a thread without them could not follow.
  capture.CaptureThreadMayDrop.store(user.empty());
  // Its look-ups start once the rights are gone: another user's process is
  // then known only by its user.
  capture.ProgramsFromStart = false;
  if (!capture.Start(options.Adapter, options.File, err)) return false;
  std::string error;
  if (!DropRights(user, error)) {
    err << "wirepeek: " << error << '\n';
    capture.End(err);
    return false;
  }
  capture.CaptureThreadMayDrop.store(true);
  if (options.Programs) capture.StartPrograms();
  // Its threads, too, start without the rights.
  if (options.Names.value_or(false)) capture.Figures().StartNames();
  return true;
}
