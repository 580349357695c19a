// Starting and ending the capture layer on Linux: libpcap needs no start.
#include <pcap/pcap.h>

#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"

std::int32_t TIPMonitor::WSA_Open() {
  // Nothing to start on this platform; record what does the capturing.
  Ioctl->WsaData.Description = pcap_lib_version();
  if (Ioctl->ListAdaptor() < 1) {
    Ioctl->ShowErrorBox("WSA_Open Error: アダプターがないかまたはその他のエラー");
    return -1;
  }
  return Ioctl->AdapterCount;
}

void TIPMonitor::WSA_Close() {}
