#pragma once
// The capture backend on Windows: a Winsock 2 raw socket bound to the
// adapter address and switched into receive-all mode, so that every IP
// datagram the address sends or receives arrives from its IP header on.
#include <winsock2.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "capture/backend/CaptureBackend.h"
#include "capture/backend/OpenFailure.h"
#include "capture/backend/win/WinsockCalls.h"

struct TWinsockCaptureOptions {
  // 0 (IPPROTO_IP) with receive-all: everything. A raw socket of one
  // protocol without receive-all sees only that protocol's datagrams to
  // this host (where receive-all is refused, as under Wine).
  int Protocol = 0;
  bool ReceiveAll = true;
};

class TWinsockCaptureSocket final : public TCaptureSocket {
 public:
  using TOptions = TWinsockCaptureOptions;

  // Address in network byte order. Null on failure, with the stage that
  // failed (socket, bind, receive-all) and Winsock's error.
  static std::unique_ptr<TWinsockCaptureSocket> Open(std::uint32_t Address, TOpenFailure& Failure,
                                                     TWinsockCalls& Calls = SystemWinsock(),
                                                     const TOptions& Options = TOptions{});
  ~TWinsockCaptureSocket() override;

  // Capture thread: blocks until one datagram arrives and hands it on.
  TReceiveStatus Receive(TDatagramSink& Sink) override;
  // Any thread: closes the socket, which ends a blocked receive at once.
  void Interrupt() override;
  void Close() override;
  TCaptureStats Statistics() const override;
  std::string LastError() const override;

 private:
  explicit TWinsockCaptureSocket(TWinsockCalls& System) : Calls(System) {}
  // Closes the socket once, whichever thread comes first.
  void CloseSocket();

  TWinsockCalls& Calls;
  mutable std::mutex Mutex;  // guards Socket, Error and the counts
  SOCKET Socket = INVALID_SOCKET;
  bool Started = false;  // Winsock started by Open, ended with the socket
  bool Stopped = false;  // Interrupt closed the socket
  std::uint64_t Received = 0;
  std::string Error;
  std::array<std::uint8_t, 65535> Buffer{};
};

// Winsock's words for an error code.
std::string WinsockErrorText(int Code);
