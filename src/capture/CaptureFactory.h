#pragma once
// Chooses and opens the capture backend for a capture file or the live
// interface; each platform has its own (on Linux, for a user without capture
// rights, the capture helper).
#include <cstdint>
#include <memory>
#include <string>

#include "capture/backend/CaptureBackend.h"
#include "capture/backend/IpAddress.h"
#include "capture/backend/OpenFailure.h"

struct TCaptureRequest {
  std::string File;              // a capture file to read (empty: live)
  std::string Interface;         // live: the interface that owns Address
  TIpAddress Address;            // live: the watched address
  bool WholeInterface = false;   // live: every address of Interface instead
  bool WholeDatagrams = false;   // the packet dump wants whole datagrams
  std::string Helper;            // the helper to use (empty: looked for beside ExePath, then installed)
  std::string ExePath;
};

// The open capture, or null with Failure saying at which stage and why (the
// helper's advice on capture rights added where it helps).
std::unique_ptr<TCaptureSocket> OpenCaptureSocket(const TCaptureRequest& Request,
                                                  TOpenFailure& Failure);
