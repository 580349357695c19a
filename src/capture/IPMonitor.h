#pragma once
// The capture engine's face to the window.
#include <cstdint>
#include <memory>

#include "capture/CaptureThread.h"
#include "capture/XIoctlUnit.h"

// The capture engine's face to the window: lists adapters, starts and ends
// captures.
class TIPMonitor {
 public:
  TIPMonitor();
  ~TIPMonitor();
  TIPMonitor(const TIPMonitor&) = delete;
  TIPMonitor& operator=(const TIPMonitor&) = delete;

  std::int32_t WSA_Open();
  std::int32_t CaptureStart();
  void CaptureEnd();
  void WSA_Close();

  std::unique_ptr<TXIoctl> Ioctl;
  std::unique_ptr<TCaptureThread> Thread;
};
