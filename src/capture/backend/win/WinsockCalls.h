#pragma once
// The Winsock calls the capture makes, behind one seam so that tests can
// stand in for the system (receive-all mode runs only on real Windows).
#include <winsock2.h>

#include <cstddef>
#include <cstdint>

class TWinsockCalls {
 public:
  virtual ~TWinsockCalls() = default;
  // WSAStartup with version 2.2; 0 or the error code. Paired with Cleanup.
  virtual int Startup() = 0;
  virtual void Cleanup() = 0;
  // WSASocketA(AF_INET, SOCK_RAW, Protocol, none, 0, WSA_FLAG_OVERLAPPED).
  virtual SOCKET RawSocket(int Protocol) = 0;
  // A UDP socket, for the address list where raw sockets are refused.
  virtual SOCKET DatagramSocket() = 0;
  // bind to Address (network byte order), port 0.
  virtual int Bind(SOCKET Socket, std::uint32_t Address) = 0;
  // WSAIoctl(SIO_RCVALL) with the 32-bit input 1.
  virtual int ReceiveAll(SOCKET Socket) = 0;
  // WSAIoctl(SIO_ADDRESS_LIST_QUERY) into Buffer.
  virtual int AddressList(SOCKET Socket, char* Buffer, DWORD Size) = 0;
  // One WSARecv into Buffer, blocking; Received is the datagram's length.
  virtual int Receive(SOCKET Socket, std::uint8_t* Buffer, std::size_t Size, DWORD& Received) = 0;
  virtual int Close(SOCKET Socket) = 0;
  virtual int LastError() = 0;
};

// The system's Winsock.
TWinsockCalls& SystemWinsock();
