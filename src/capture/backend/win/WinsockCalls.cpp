#include "capture/backend/win/WinsockCalls.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

namespace {

class TSystemWinsock final : public TWinsockCalls {
 public:
  int Startup() override {
    WSADATA data{};
    return WSAStartup(0x0202, &data);
  }
  void Cleanup() override { WSACleanup(); }
  SOCKET RawSocket(int protocol) override {
    return WSASocketA(AF_INET, SOCK_RAW, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  }
  SOCKET DatagramSocket() override { return ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }
  int Bind(SOCKET socket, std::uint32_t address) override {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(0);
    local.sin_addr.s_addr = address;
    return bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }
  int ReceiveAll(SOCKET socket) override {
    DWORD on = 1;
    DWORD returned = 0;
    return WSAIoctl(socket, SIO_RCVALL, &on, sizeof on, nullptr, 0, &returned, nullptr, nullptr);
  }
  int AddressList(SOCKET socket, char* buffer, DWORD size) override {
    DWORD returned = 0;
    return WSAIoctl(socket, SIO_ADDRESS_LIST_QUERY, nullptr, 0, buffer, size, &returned, nullptr, nullptr);
  }
  int Receive(SOCKET socket, std::uint8_t* buffer, std::size_t size, DWORD& received) override {
    WSABUF descriptor{};
    descriptor.len = static_cast<ULONG>(size);
    descriptor.buf = reinterpret_cast<char*>(buffer);
    DWORD flags = 0;
    return WSARecv(socket, &descriptor, 1, &received, &flags, nullptr, nullptr);
  }
  int Close(SOCKET socket) override { return closesocket(socket); }
  int LastError() override { return WSAGetLastError(); }
};

}  // namespace

TWinsockCalls& SystemWinsock() {
  static TSystemWinsock calls;
  return calls;
}
