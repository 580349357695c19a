#include "capture/XIoctlUnit.h"

void TXIoctl::ResetCounters() noexcept {
  TotalPackets = 0;
  TotalBytes = 0;
  Counters = CategoryCounters{};
}
