#pragma once
// Why a capture could not be opened, whatever backend tried: the stage that
// failed decides the error box the engine shows.
#include <string>

enum class TCaptureOpenStage {
  Create,    // the capture handle or socket cannot be made
  Bind,      // it cannot be tied to the adapter address
  Activate,  // it cannot be switched on (receive-all mode, or the interface)
};

struct TCaptureOpenFailure {
  TCaptureOpenStage Stage = TCaptureOpenStage::Create;
  bool PermissionDenied = false;  // the process lacks the capture rights
  std::string Reason;
};
