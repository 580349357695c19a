#pragma once
// For the endpoint tests: the program (or another one) started inside a test
// namespace with its output in files, and a small HTTP client that sends
// exactly the bytes a test gives it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/TestNetwork.h"
#include "common/ChildProcess.h"
#include "common/Files.h"

// The effective capabilities of every thread of a process, one hex mask each.
inline std::vector<std::string> ThreadCapabilities(pid_t pid) {
  std::vector<std::string> masks;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ignored)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("CapEff:", 0) == 0) masks.push_back(line.substr(line.find_first_not_of(" \t", 7)));
  }
  return masks;
}


struct THttpAnswer {
  int Status = 0;  // 0: no answer (connection closed or timed out)
  std::string Headers;
  std::string Body;
  bool Closed = false;  // the server closed the connection
};

// Sends Request as it is to 127.0.0.1:Port (of the calling thread's
// namespace) and reads until the server closes or Timeout passes.
inline THttpAnswer HttpExchange(int port, const std::string& request,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  THttpAnswer answer;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return answer;
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    const auto n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  const auto end = std::chrono::steady_clock::now() + timeout;
  char buffer[16384];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const auto n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      answer.Closed = true;
      break;
    }
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  const auto split = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) == 0 && split != std::string::npos) {
    answer.Status = std::atoi(raw.c_str() + 9);
    answer.Headers = raw.substr(0, split + 2);
    answer.Body = raw.substr(split + 4);
  }
  return answer;
}

inline THttpAnswer HttpGet(int port, const std::string& path, const std::string& extraHeaders = "") {
  return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extraHeaders +
                                "\r\n");
}

// The port in "serving http://ADDR:PORT/metrics", or 0.
inline int ServedPort(const std::string& errors) {
  const auto at = errors.find("serving http://");
  if (at == std::string::npos) return 0;
  const auto colon = errors.find(':', at + 15);
  return colon == std::string::npos ? 0 : std::atoi(errors.c_str() + colon + 1);
}
