#pragma once
// Plain sockets for the live-capture tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

class TFd {
 public:
  explicit TFd(int fd) : Fd(fd) {
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  }
  ~TFd() { close(Fd); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  operator int() const { return Fd; }

 private:
  int Fd;
};

inline sockaddr_in Endpoint(const char* addr, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, addr, &a.sin_addr);
  return a;
}

inline sockaddr_in6 Endpoint6(const char* addr, std::uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  inet_pton(AF_INET6, addr, &a.sin6_addr);
  return a;
}

inline bool IsIpv6Text(const char* addr) { return std::strchr(addr, ':') != nullptr; }

// Either family, by the address's text.
inline void Bind(int fd, const char* addr, std::uint16_t port) {
  int result = 0;
  if (IsIpv6Text(addr)) {
    const auto a = Endpoint6(addr, port);
    result = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  } else {
    const auto a = Endpoint(addr, port);
    result = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  }
  if (result != 0) throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
}

inline void SendUdp(const char* from, std::uint16_t fromPort, const char* to, std::uint16_t toPort, std::size_t payload,
             int count, const std::vector<std::uint8_t>& content = {}) {
  const bool six = IsIpv6Text(from);
  TFd fd(socket(six ? AF_INET6 : AF_INET, SOCK_DGRAM, 0));
  Bind(fd, from, fromPort);
  std::vector<std::uint8_t> data = content;
  data.resize(payload, 0x42);
  const auto to4 = Endpoint(to, toPort);
  const auto to6 = Endpoint6(to, toPort);
  const auto* address = six ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to4);
  const socklen_t size = six ? sizeof to6 : sizeof to4;
  for (int i = 0; i < count; ++i)
    if (sendto(fd, data.data(), data.size(), 0, address, size) < 0)
      throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
}

