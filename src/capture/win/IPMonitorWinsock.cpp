// Starting and ending the use of Winsock 2.2 for the capture monitor.
#include <winsock2.h>

#include <string>

#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"

std::int32_t TIPMonitor::WSA_Open() {
  WSADATA data{};
  if (WSAStartup(0x0202, &data) != 0) {
    Ioctl->ShowErrorBox("WSA_Open Error:" + std::to_string(WSAGetLastError()));
    return -1;
  }
  Ioctl->WsaData.Description = data.szDescription;
  if (Ioctl->ListAdaptor() < 1) {
    Ioctl->ShowErrorBox("WSA_Open Error: アダプターがないかまたはその他のエラー");
    return -1;
  }
  return Ioctl->AdapterCount;
}

void TIPMonitor::WSA_Close() { WSACleanup(); }
