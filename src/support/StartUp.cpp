#include "support/StartUp.h"

#include "support/TextDevs.h"

void ApplySwitches(const TLongOptions& Options) {
  if (Options.Debug) DebugMode = true;
}
