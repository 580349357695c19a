#include "support/StartUp.h"

#include "support/Settings.h"
#include "support/TextDevs.h"

void ApplySwitches(const TLongOptions& Options) {
  if (Options.Debug) DebugMode = true;
  if (Options.DumpLimit) GlobalSettings.DumpLimit = 1;
}
