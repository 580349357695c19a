// Which service unit a socket was made in, as the kernel's socket listing
// gives it with no right at all: a process is moved into a control group
// made here, named like a unit, and opens a socket there. Root only.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "capture/SocketOwners.h"
#include "common/TestNetwork.h"

namespace {

namespace fs = std::filesystem;

TEST(SocketOwnersLive, ASocketIsPutDownToTheUnitItWasMadeIn) {
  std::string mount;
  CommandOutput("findmnt -n -t cgroup2 -o TARGET | head -1 | tr -d '\\n'", mount);
  if (geteuid() != 0 || mount.empty()) GTEST_SKIP() << "needs root and a unified control-group hierarchy";
  const std::string unit = "wpunit" + std::to_string(getpid()) + ".service";
  const fs::path group = fs::path(mount) / "wptest.slice" / unit;
  std::error_code error;
  fs::create_directories(group, error);
  if (error) GTEST_SKIP() << "cannot make " << group << ": " << error.message();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    std::ofstream(group / "cgroup.procs") << "0\n";
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0)
      _exit(1);
    const std::uint16_t port = ntohs(at.sin_port);
    if (write(ready[1], &port, sizeof port) != sizeof port) _exit(1);
    pause();
    _exit(0);
  }
  std::uint16_t port = 0;
  close(ready[1]);
  const bool told = read(ready[0], &port, sizeof port) == sizeof port;
  close(ready[0]);

  TSocketOwners owners(htonl(INADDR_LOOPBACK));
  const bool listed = owners.Refresh();
  const TSocketOwner owner = owners.Find({0, port, 0, 17});
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  fs::remove(group, error);
  fs::remove(fs::path(mount) / "wptest.slice", error);
  ASSERT_TRUE(told);
  ASSERT_TRUE(listed);
  EXPECT_EQ(owner.Unit, unit);
}

}  // namespace
