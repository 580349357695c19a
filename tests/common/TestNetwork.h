#pragma once
// Private test hosts for the live-capture tests: network namespaces joined by
// veth pairs, made by the test and removed afterwards. Needs root.
#include <fcntl.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

inline bool RunCommand(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs command through the shell; its exit code, and what it printed in Output.
inline int CommandOutput(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Why this host cannot make the network and mount namespaces the tests need
// ("" when it can), as the one shared check says; a test skips with it
// rather than fail for the host.
inline const std::string& TestNamespacesUnavailable() {
  static const std::string reason = [] {
    std::string output;
    if (CommandOutput("'" WIREPEEK_NAMESPACE_CHECK "' 2>&1", output) == 0) return std::string();
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output.empty() ? std::string("the namespace check did not run") : output;
  }();
  return reason;
}
#define SKIP_WITHOUT_TEST_NAMESPACES() \
  if (const std::string& why = TestNamespacesUnavailable(); !why.empty()) GTEST_SKIP() << why

// A named network namespace that lives as long as this object.
class TTestNamespace {
 public:
  explicit TTestNamespace(std::string name) : Name(std::move(name)) {
    RunCommand("ip netns del " + Name);
    if (!RunCommand("ip netns add " + Name)) throw std::runtime_error("cannot create namespace " + Name);
    try {
      Run("ip link set lo up");
    } catch (...) {
      RunCommand("ip netns del " + Name);  // no destructor runs for a half-made object
      throw;
    }
  }
  ~TTestNamespace() { RunCommand("ip netns del " + Name); }
  TTestNamespace(const TTestNamespace&) = delete;
  TTestNamespace& operator=(const TTestNamespace&) = delete;

  void Run(const std::string& command) const {
    if (!RunCommand("ip netns exec " + Name + " " + command))
      throw std::runtime_error("in " + Name + ": " + command + " failed");
  }
  std::string Path() const { return "/run/netns/" + Name; }

  const std::string Name;
};

// Moves the calling thread into a namespace until destroyed.
class TInNamespace {
 public:
  explicit TInNamespace(const TTestNamespace& ns) {
    Original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(ns.Path().c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = Original >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
    if (!ok) throw std::runtime_error("cannot enter " + ns.Name);
  }
  ~TInNamespace() {
    if (setns(Original, CLONE_NEWNET) != 0) std::abort();  // later tests would run in the wrong place
    close(Original);
  }
  TInNamespace(const TInNamespace&) = delete;
  TInNamespace& operator=(const TInNamespace&) = delete;

 private:
  int Original = -1;
};

// Runs fn on a new thread inside ns and waits for it.
inline void RunIn(const TTestNamespace& ns, const std::function<void()>& fn) {
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      TInNamespace inside(ns);
      fn();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  worker.join();
  if (failure) std::rethrow_exception(failure);
}
