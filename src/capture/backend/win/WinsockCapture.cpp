#include "capture/backend/win/WinsockCapture.h"

#include <chrono>

std::string WinsockErrorText(int code) {
  char message[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, message, sizeof message, nullptr);
  std::string text(message, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return "Winsock error " + std::to_string(code) + (text.empty() ? "" : " (" + text + ")");
}

std::unique_ptr<TWinsockCaptureSocket> TWinsockCaptureSocket::Open(std::uint32_t address,
                                                                   TOpenFailure& failure,
                                                                   TWinsockCalls& calls, const TOptions& options) {
  failure = TOpenFailure{};
  std::unique_ptr<TWinsockCaptureSocket> capture(new TWinsockCaptureSocket(calls));
  if (const int code = calls.Startup(); code != 0) {
    failure.Reason = "WSAStartup: " + WinsockErrorText(code);
    return nullptr;
  }
  capture->Started = true;
  capture->Socket = calls.RawSocket(options.Protocol);
  if (capture->Socket == INVALID_SOCKET) {
    const int code = calls.LastError();
    failure.PermissionDenied = code == WSAEACCES;
    failure.Reason = "WSASocket: " + WinsockErrorText(code);
    return nullptr;
  }
  failure.Stage = TOpenStage::Bind;
  if (calls.Bind(capture->Socket, address) == SOCKET_ERROR) {
    failure.Reason = "bind: " + WinsockErrorText(calls.LastError());
    return nullptr;
  }
  failure.Stage = TOpenStage::Activate;
  if (options.ReceiveAll && calls.ReceiveAll(capture->Socket) == SOCKET_ERROR) {
    const int code = calls.LastError();
    failure.PermissionDenied = code == WSAEACCES;
    failure.Reason = "WSAIoctl(SIO_RCVALL): " + WinsockErrorText(code);
    return nullptr;
  }
  return capture;
}

TWinsockCaptureSocket::~TWinsockCaptureSocket() { CloseSocket(); }

// Capture thread.
TCaptureSocket::TReceiveStatus TWinsockCaptureSocket::Receive(TDatagramSink& sink) {
  SOCKET socket;
  {
    std::lock_guard lock(Mutex);
    if (Stopped) return TReceiveStatus::Interrupted;
    socket = Socket;
  }
  if (socket == INVALID_SOCKET) {
    std::lock_guard lock(Mutex);
    Error = "capture socket is closed";
    return TReceiveStatus::Failed;
  }
  DWORD received = 0;
  if (Calls.Receive(socket, Buffer.data(), Buffer.size(), received) == SOCKET_ERROR) {
    const int code = Calls.LastError();
    std::lock_guard lock(Mutex);
    // A close from the stop ends the receive; that is no failure.
    if (Stopped) return TReceiveStatus::Interrupted;
    Error = "WSARecv: " + WinsockErrorText(code);
    return TReceiveStatus::Failed;
  }
  // Stamped as it arrives: the socket gives no time of its own.
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  TCapturedDatagram datagram;
  datagram.Data = Buffer.data();
  datagram.Length = received;
  datagram.Seconds = micros / 1000000;
  datagram.Microseconds = micros % 1000000;
  {
    std::lock_guard lock(Mutex);
    ++Received;
  }
  sink.Datagram(datagram);
  return TReceiveStatus::Datagrams;
}

// Any thread.
void TWinsockCaptureSocket::Interrupt() {
  {
    std::lock_guard lock(Mutex);
    Stopped = true;
  }
  CloseSocket();
}

void TWinsockCaptureSocket::Close() { CloseSocket(); }

void TWinsockCaptureSocket::CloseSocket() {
  std::lock_guard lock(Mutex);
  if (Socket != INVALID_SOCKET) Calls.Close(Socket);
  Socket = INVALID_SOCKET;
  if (Started) Calls.Cleanup();
  Started = false;
}

TCaptureStats TWinsockCaptureSocket::Statistics() const {
  std::lock_guard lock(Mutex);
  // The socket counts nothing itself, and drops nothing it reports.
  return {Received, 0};
}

std::string TWinsockCaptureSocket::LastError() const {
  std::lock_guard lock(Mutex);
  return Error;
}
