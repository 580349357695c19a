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

inline void Bind(int fd, const char* addr, std::uint16_t port) {
  const auto a = Endpoint(addr, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
}

inline void SendUdp(const char* from, std::uint16_t fromPort, const char* to, std::uint16_t toPort, std::size_t payload,
             int count, const std::vector<std::uint8_t>& content = {}) {
  TFd fd(socket(AF_INET, SOCK_DGRAM, 0));
  Bind(fd, from, fromPort);
  std::vector<std::uint8_t> data = content;
  data.resize(payload, 0x42);
  const auto to_ = Endpoint(to, toPort);
  for (int i = 0; i < count; ++i)
    if (sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) < 0)
      throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
}

