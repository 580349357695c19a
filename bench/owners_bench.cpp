// What one round of socket look-ups costs the look-up thread on a host that
// holds many sockets: 38,000 UDP sockets bound to the loopback address (as
// two users with that many did), and one new flow to put down to its
// program. Run as root in a network namespace of its own, with the local
// port range widened to hold them:
//   ip netns exec NS sh -c 'ip link set lo up;
//     sysctl -w net.ipv4.ip_local_port_range="1024 65000"; owners_bench' 
//   owners_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "capture/SocketOwners.h"

namespace {

constexpr int kHeld = 38'000;

// Half of them in a child process, as the descriptor limit may be lower
// than all of them.
struct THeldSockets {
  std::vector<int> Fds;
  std::uint16_t FlowPort = 0;
  pid_t Holder = -1;
  static void Open(int count, std::vector<int>& fds) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    for (int i = 0; i < count && fds.size() + 64 < limit.rlim_cur; ++i) {
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        break;
      }
      fds.push_back(fd);
    }
  }
  THeldSockets() {
    int ready[2];
    if (pipe(ready) != 0) return;
    Holder = fork();
    if (Holder == 0) {
      std::vector<int> fds;
      Open(kHeld / 2, fds);
      const int opened = static_cast<int>(fds.size());
      if (write(ready[1], &opened, sizeof opened) != sizeof opened) _exit(1);
      pause();
      _exit(0);
    }
    int other = 0;
    if (read(ready[0], &other, sizeof other) != sizeof other) other = 0;
    close(ready[0]);
    close(ready[1]);
    Open(kHeld - other, Fds);
    Count = other + static_cast<int>(Fds.size());
    // The flow: the last socket's port.
    sockaddr_in at{};
    socklen_t length = sizeof at;
    getsockname(Fds.back(), reinterpret_cast<sockaddr*>(&at), &length);
    FlowPort = ntohs(at.sin_port);
  }
  ~THeldSockets() {
    for (const int fd : Fds) close(fd);
    if (Holder > 0) kill(Holder, SIGKILL), waitpid(Holder, nullptr, 0);
  }
  int Count = 0;
};

// One round: the listing, then the owner of one new flow.
void BM_LookUpOneFlowAmongHeldSockets(benchmark::State& state) {
  static THeldSockets held;
  TSocketOwners owners(htonl(INADDR_LOOPBACK));
  for (auto _ : state) {
    if (!owners.Refresh()) state.SkipWithError("the kernel refused the listing");
    if (owners.InodeOf({htonl(0x7f000002), held.FlowPort, 5353, 17}) == 0) state.SkipWithError("flow not found");
  }
  state.counters["sockets"] = held.Count;
}
BENCHMARK(BM_LookUpOneFlowAmongHeldSockets)->Unit(benchmark::kMicrosecond);

// The same round on a quiet host.
void BM_LookUpOneFlowOnAQuietHost(benchmark::State& state) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  TSocketOwners owners(htonl(INADDR_LOOPBACK));
  for (auto _ : state) {
    if (!owners.Refresh()) state.SkipWithError("the kernel refused the listing");
    if (owners.InodeOf({htonl(0x7f000002), ntohs(at.sin_port), 5353, 17}) == 0) state.SkipWithError("flow not found");
  }
  close(fd);
}
BENCHMARK(BM_LookUpOneFlowOnAQuietHost)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
