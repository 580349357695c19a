#include "capture/CaptureFactory.h"

#include <arpa/inet.h>
#include <unistd.h>

#include "capture/HelperCapture.h"
#include "capture/backend/HostAddresses.h"
#include "capture/backend/PcapCapture.h"

std::unique_ptr<TCaptureSocket> OpenCaptureSocket(const TCaptureRequest& request,
                                                  TOpenFailure& failure) {
  if (!request.File.empty()) {
    failure.Stage = TOpenStage::Create;
    return TPcapCaptureSocket::OpenFile(request.File, failure.Reason);
  }
  // An interface's addresses change while it is watched, which a locked
  // filter cannot follow: its datagrams come whole.
  const bool whole = request.WholeDatagrams || request.WholeInterface;
  const int ring = whole ? TPcapCaptureSocket::RingBufferBytes : TPcapCaptureSocket::HeadersRingBytes;
  const char* families = request.WholeInterface ? "ip or ip6" : request.Address.IsV6() ? "ip6" : "ip";
  if (auto live = TPcapCaptureSocket::OpenLive(request.Interface, failure, families, ring)) {
    // Outside debug mode the counting reads only the headers: copying the
    // rest out of the kernel is what a flood costs most. Should the kernel
    // refuse, whole datagrams count the same.
    std::string ignored;
    if (!whole) live->KeepOnlyCounted(std::span<const TIpAddress>(&request.Address, 1), ignored);
    return live;
  }
  if (!failure.PermissionDenied) return nullptr;
  // Without the rights ourselves, the helper that holds them captures for us.
  const std::string helper = request.Helper.empty() ? FindCaptureHelper(request.ExePath) : request.Helper;
  std::string advice = CaptureRightsAdvice(helper);
  if (!helper.empty() && ::access(helper.c_str(), X_OK) == 0) {
    const std::string text = request.WholeInterface ? request.Interface : ScopedText(request.Address, request.Interface);
    // The packet dump of debug mode wants whole datagrams; counting wants
    // only their first bytes.
    if (auto viaHelper = THelperCaptureSocket::Open(helper, text, request.WholeDatagrams, failure))
      return viaHelper;
    if (!failure.PermissionDenied) advice.clear();
  }
  if (advice.empty()) return nullptr;
  failure.Reason += " (" + advice + ")";
  failure.Fix = CaptureRightsFix(helper);
  return nullptr;
}
