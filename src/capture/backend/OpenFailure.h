#pragma once
// Why a capture could not be opened, whichever backend tried: the stage that
// failed decides the error box the engine shows.
#include <string>

#include "capture/backend/RightsFix.h"

enum class TOpenStage {
  Create,    // the capture handle or socket cannot be made
  Bind,      // it cannot be tied to the adapter address
  Activate,  // it cannot be switched on (receive-all mode, or the interface)
};

struct TOpenFailure {
  TOpenStage Stage = TOpenStage::Create;
  bool PermissionDenied = false;  // the process lacks the capture rights
  std::string Reason;
  // Set where the user can mend a lack of rights.
  TRightsFix Fix;
};
