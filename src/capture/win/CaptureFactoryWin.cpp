// The capture backends on Windows: the engine's own file reader, or the
// receive-all raw socket on the adapter address.
#include "capture/CaptureFactory.h"

#include "capture/backend/CaptureFileSocket.h"
#include "capture/backend/win/WinsockCapture.h"

std::unique_ptr<TCaptureSocket> OpenCaptureSocket(const TCaptureRequest& request, TOpenFailure& failure) {
  failure = TOpenFailure{};
  if (!request.File.empty()) return TCaptureFileSocket::Open(request.File, failure.Reason);
  auto capture = TWinsockCaptureSocket::Open(request.Address.Raw4(), failure);
  if (!capture && failure.PermissionDenied) failure.Reason += " (receive-all capture needs an administrator)";
  return capture;
}
