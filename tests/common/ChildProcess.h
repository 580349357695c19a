#pragma once
// Starting the programs under test as child processes.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/TestNetwork.h"
#include "common/Files.h"

// A process a test starts (in a test namespace or its own), output in files in
// dir; it knows its pid, every wait has a timeout, and it dies with the object.
class TChildProcess {
 public:
  struct TOptions {
    std::filesystem::path WorkingFolder;  // empty: the test's own
    std::vector<std::string> Environment;  // NAME=VALUE, added to the test's
  };
  TChildProcess(const TTestNamespace& ns, std::vector<std::string> argv, const std::filesystem::path& dir,
                const std::string& name)
      : TChildProcess(&ns, std::move(argv), dir, name, {}) {}
  TChildProcess(const TTestNamespace* ns, std::vector<std::string> argv, const std::filesystem::path& dir,
                const std::string& name, const TOptions& options)
      : Out(dir / (name + ".out")), Err(dir / (name + ".err")) {
    const int nsFd = ns ? open(ns->Path().c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (ns && nsFd < 0) throw std::runtime_error("cannot open " + ns->Path());
    const int outFd = open(Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> environment = options.Environment;
    Pid = fork();
    if (Pid == 0) {
      if (ns && setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
      if (!options.WorkingFolder.empty() && chdir(options.WorkingFolder.c_str()) != 0) _exit(126);
      for (auto& variable : environment) putenv(variable.data());
      dup2(outFd, 1);
      dup2(errFd, 2);
      execvp(args[0], args.data());
      _exit(127);
    }
    if (nsFd >= 0) close(nsFd);
    close(outFd);
    close(errFd);
    if (Pid < 0) throw std::runtime_error("fork failed");
  }
  ~TChildProcess() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Waits until standard error holds Text; false after Timeout or when the
  // process has ended.
  bool WaitForError(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (ReadWholeFile(Err).find(text) != std::string::npos) return true;
      if (Pid > 0 && waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        return ReadWholeFile(Err).find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Sends Signal and waits for the end (at most Timeout); the exit code, or
  // -1 when it had to be killed.
  int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (Pid > 0) kill(Pid, signal);
    return Wait(timeout);
  }
  int Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Pid > 0 && std::chrono::steady_clock::now() < end) {
      if (waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (Pid > 0) return -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  }
  bool Running() { return Pid > 0 && waitpid(Pid, &Status, WNOHANG) == 0; }
  pid_t Id() const { return Pid; }
  std::string Output() const { return ReadWholeFile(Out); }
  std::string Errors() const { return ReadWholeFile(Err); }

 private:
  std::filesystem::path Out, Err;
  pid_t Pid = -1;
  int Status = 0;
};
