// Sends a bounded number of UDP datagrams as fast as the machine allows, in
// batches with sendmmsg, for the capture benchmark. With SPREAD, the
// destinations run through SPREAD consecutive addresses from ADDR on.
//   flood ADDR PORT PAYLOAD COUNT [SPREAD]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: flood ADDR PORT PAYLOAD COUNT [SPREAD]\n");
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return 2;
  const auto payload = static_cast<std::size_t>(std::atol(argv[3]));
  const long count = std::atol(argv[4]);
  const std::uint32_t spread = argc == 6 ? static_cast<std::uint32_t>(std::atol(argv[5])) : 1;
  const std::uint32_t base = ntohl(to.sin_addr.s_addr);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 1;
  int big = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

  constexpr unsigned Batch = 64;
  std::vector<char> data(payload, 'x');
  std::vector<sockaddr_in> targets(Batch, to);
  std::vector<mmsghdr> messages(Batch);
  std::vector<iovec> vectors(Batch);
  for (unsigned i = 0; i < Batch; ++i) {
    vectors[i] = {data.data(), data.size()};
    messages[i].msg_hdr.msg_name = &targets[i];
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const auto start = std::chrono::steady_clock::now();
  long sent = 0;
  while (sent < count) {
    const auto n = static_cast<unsigned>(std::min<long>(Batch, count - sent));
    if (spread > 1)
      for (unsigned i = 0; i < n; ++i)
        targets[i].sin_addr.s_addr = htonl(base + static_cast<std::uint32_t>(sent + i) % spread);
    const int done = sendmmsg(fd, messages.data(), n, 0);
    if (done < 0) {
      if (errno == ENOBUFS || errno == EAGAIN) continue;
      std::perror("sendmmsg");
      return 1;
    }
    sent += done;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%ld %.0f\n", sent, static_cast<double>(sent) / seconds);
  close(fd);
  return 0;
}
