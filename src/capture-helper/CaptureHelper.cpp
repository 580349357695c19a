// wirepeek-capture: the one program that holds the capture rights. It opens
// the capture on the interface that owns the address it is given, drops every
// capability, and streams the datagrams to standard output as a pcap stream
// for the unprivileged program to read.
//
//   wirepeek-capture [--whole] ADDRESS
//
// Exit status: 0 after a capture, 2 for a refused request, 3 when the
// capture cannot be created, 4 when it cannot be switched on, 1 when the
// rights cannot be dropped or the stream fails.
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdio_ext.h>
#include <cstring>
#include <string>
#include <vector>

#include "capture/HelperProtocol.h"
#include "capture/HostAddresses.h"
#include "capture/PcapCapture.h"

namespace {

volatile sig_atomic_t StopAsked = 0;
// Datagrams written before a flush even while the kernel has more ready.
constexpr int MaxGroup = 4096;
pcap* Handle = nullptr;

void OnStopSignal(int) {
  StopAsked = 1;
  // Wakes a capture that waits for the kernel; safe in a handler on Linux.
  if (Handle) pcap_breakloop(Handle);
}

// Bytes of each frame written to the stream.
bpf_u_int32 KeptBytes = TPcapCaptureSocket::WholeSnapLength;

void WriteRecord(unsigned char* dumper, const pcap_pkthdr* header, const unsigned char* bytes) {
  pcap_pkthdr kept = *header;
  if (kept.caplen > KeptBytes) kept.caplen = KeptBytes;
  pcap_dump(dumper, &kept, bytes);
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "wirepeek-capture: %s\n", message.c_str());
  std::fprintf(stderr, "usage: wirepeek-capture [--whole] ADDRESS\n");
  return HelperExitRefused;
}

// Nothing the program does later may regain a right: empty every set of
// this process and forbid new privileges through exec.
bool DropAllRights(std::string& error) {
  cap_t none = cap_init();
  if (!none) {
    error = std::string("cap_init: ") + std::strerror(errno);
    return false;
  }
  const int set = cap_set_proc(none);
  const int saved = errno;
  cap_free(none);
  if (set != 0) {
    error = std::string("cap_set_proc: ") + std::strerror(saved);
    return false;
  }
  if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0) {
    error = std::string("cap_reset_ambient: ") + std::strerror(errno);
    return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    error = std::string("no_new_privs: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// True once the program has closed our standard input or ended.
bool ProgramGone() {
  pollfd in{STDIN_FILENO, POLLIN, 0};
  if (poll(&in, 1, 0) <= 0) return false;
  if (in.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  char byte;
  return read(STDIN_FILENO, &byte, 1) <= 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Never outlive the program: the kernel tells us when it ends (the setting
  // does not survive our own exec, so it is made here).
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  const pid_t parent = getppid();

  bool whole = false;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--whole")
      whole = true;
    else if (!arg.empty() && arg[0] == '-')
      return Refuse("unknown option " + arg);
    else
      operands.push_back(arg);
  }
  if (operands.size() != 1)
    return Refuse(operands.empty() ? "no address given" : "only one address can be watched");
  in_addr addr{};
  if (inet_pton(AF_INET, operands[0].c_str(), &addr) != 1)
    return Refuse(operands[0] + " is not an IPv4 address (give the address to watch, not an interface)");
  std::vector<THostAddress> host;
  if (!SystemIpv4Addresses(host)) return Refuse("cannot list this host's addresses");
  const std::string interface = InterfaceOwning(host, addr.s_addr);
  if (interface.empty()) return Refuse(operands[0] + " is not an address of this host");

  // The program may have ended before the death signal was asked for.
  if (getppid() != parent) return HelperExitFailed;

  TPcapCaptureSocket::TOpenFailure failure;
  // Opened as the program opens it (the kernel's ring is laid out by the
  // snapshot length); short records are cut when written.
  Handle = TPcapCaptureSocket::OpenLiveHandle(interface, TPcapCaptureSocket::WholeSnapLength, failure);
  if (!whole) KeptBytes = HelperShortSnapLength;
  if (!Handle) {
    std::fprintf(stderr, "wirepeek-capture: %s: %s\n", interface.c_str(), failure.Reason.c_str());
    return failure.Stage == TPcapCaptureSocket::TOpenStage::Create ? HelperExitCreateFailed
                                                                   : HelperExitActivateFailed;
  }
  std::string error;
  if (!DropAllRights(error)) {
    std::fprintf(stderr, "wirepeek-capture: cannot drop the capture rights: %s\n", error.c_str());
    pcap_close(Handle);
    return HelperExitFailed;
  }

  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGHUP, &stop, nullptr);
  // A closed stream shows as a failed write, not as a fatal signal.
  signal(SIGPIPE, SIG_IGN);

  // A large buffer, written out after each group the kernel hands over.
  static char buffer[1 << 18];
  setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  // One thread writes it: no lock per record.
  __fsetlocking(stdout, FSETLOCKING_BYCALLER);
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_dumper_t* dumper = pcap_dump_fopen(Handle, stdout);
  int status = 0;
  if (!dumper || pcap_dump_flush(dumper) != 0) {
    std::fprintf(stderr, "wirepeek-capture: cannot write the stream\n");
    status = HelperExitFailed;
  }
  // Everything the kernel has ready goes out in one write; then we wait for
  // the next block it hands over (at most the delivery timeout after a
  // lone datagram) or for the program to go.
  const int captureFd = pcap_get_selectable_fd(Handle);
  if (status == 0 && (captureFd < 0 || pcap_setnonblock(Handle, 1, errbuf) != 0)) {
    std::fprintf(stderr, "wirepeek-capture: cannot wait for the capture: %s\n", errbuf);
    status = HelperExitFailed;
  }
  while (status == 0 && !StopAsked) {
    int group = 0, n = 0;
    while ((n = pcap_dispatch(Handle, -1, WriteRecord, reinterpret_cast<unsigned char*>(dumper))) > 0 &&
           group < MaxGroup)
      group += n;
    if (n == PCAP_ERROR_BREAK) break;
    if (n < 0) {
      std::fprintf(stderr, "wirepeek-capture: %s\n", pcap_geterr(Handle));
      status = HelperExitFailed;
      break;
    }
    // Stream closed by the program: it has what it wants.
    if (group > 0 && pcap_dump_flush(dumper) != 0) break;
    if (ProgramGone()) break;
    if (n == 0 && group == 0) {
      pollfd fds[2] = {{captureFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      poll(fds, 2, 1000);
    }
  }
  pcap_stat stats{};
  if (pcap_stats(Handle, &stats) == 0)
    std::fprintf(stderr, HelperStatsFormat, static_cast<unsigned long long>(stats.ps_recv),
                 static_cast<unsigned long long>(stats.ps_drop) + stats.ps_ifdrop);
  if (dumper) {
    pcap_dump_flush(dumper);
    pcap_dump_close(dumper);  // closes standard output
  }
  pcap_close(Handle);
  return status;
}
