#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"

TIPMonitor::TIPMonitor() : Ioctl(std::make_unique<TXIoctl>()) {}

TIPMonitor::~TIPMonitor() {
  if (Thread) CaptureEnd();
}

std::int32_t TIPMonitor::CaptureStart() {
  const std::int32_t result = Ioctl->InitAdapter();
  if (result < 0) {
    Ioctl->ShowErrorBox(CaptureStartErrorText);
    return result;
  }
  Thread = std::make_unique<TCaptureThread>(*Ioctl);
  return 0;
}

void TIPMonitor::CaptureEnd() {
  Ioctl->TermAdapter();
  if (Thread) {
    Thread->WaitFor();
    Thread.reset();
  }
}

