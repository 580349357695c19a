#pragma once
// Why a capture could not be opened, whichever backend tried.
#include <string>

enum class TOpenStage { Create, Activate };

struct TOpenFailure {
  TOpenStage Stage = TOpenStage::Create;
  bool PermissionDenied = false;  // the process lacks the capture rights
  std::string Reason;
};
