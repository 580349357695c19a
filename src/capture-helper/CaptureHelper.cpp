// wirepeek-capture: the one program that holds the capture rights. It opens
// the capture on the interface that owns the address it is given (or on the
// interface it is given, for all of that interface's addresses), drops every
// capability, and streams the datagrams to standard output as a pcap stream
// for the unprivileged program to read. A kernel filter keeps of each frame
// only what the counting reads (see capture/backend/SnapFilter.h). For an
// interface the filter is made anew whenever the interface's addresses
// change, so it is not locked.
//
//   wirepeek-capture [--whole] [--parent PID] ADDRESS|INTERFACE
//
// --parent names the program that starts it: the helper ends at once when
// that program is already gone. The helper ends, after passing on what the
// kernel still holds, when its standard input closes or on SIGTERM.
//
// Exit status: 0 after a capture, 2 for a refused request, 3 when the
// capture cannot be created, 4 when it cannot be switched on, 1 when the
// rights cannot be dropped, the stream fails, the standard descriptors are
// not open, or the program is gone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdio_ext.h>
#include <cstring>
#include <string>
#include <vector>

#include "capture/backend/DropRights.h"
#include "capture/backend/HelperProtocol.h"
#include "capture/backend/HostAddresses.h"
#include "capture/backend/PcapCapture.h"
#include "capture/backend/SnapFilter.h"

namespace {

volatile sig_atomic_t StopAsked = 0;
// Datagrams written before a flush even while the kernel has more ready.
constexpr int MaxGroup = 4096;
// At the end: how long the kernel may still hold a block it has not handed
// over yet (it does so within two delivery timeouts), and the most the
// last pass may take while traffic goes on.
constexpr int LastBlockWaitMs = 3 * TPcapCaptureSocket::DeliveryTimeoutMs;
constexpr auto LastPassLimit = std::chrono::seconds(1);
pcap* Handle = nullptr;

void OnStopSignal(int) {
  StopAsked = 1;
  // Wakes a capture that waits for the kernel; safe in a handler on Linux.
  if (Handle) pcap_breakloop(Handle);
}

// What each record keeps: the kernel filter has cut every frame already,
// except those that reached the ring before it was attached.
struct TKeep {
  pcap_dumper_t* Dumper = nullptr;
  int LinkType = 0;
  std::vector<TIpAddress> Addresses;  // what the filter is made for now
  // Every address watched since the start. A frame the ring still holds was
  // cut by the filter of its time; cut again by these it keeps no more than
  // that filter let through, even after its address has gone.
  std::vector<TIpAddress> Cut;
  bool Whole = false;
};

void WriteRecord(unsigned char* user, const pcap_pkthdr* header, const unsigned char* bytes) {
  const auto* keep = reinterpret_cast<const TKeep*>(user);
  const std::size_t length = SnapLength(keep->LinkType, bytes, header->caplen, keep->Cut, keep->Whole);
  if (length == 0) return;
  pcap_pkthdr kept = *header;
  kept.caplen = static_cast<bpf_u_int32>(length);
  pcap_dump(reinterpret_cast<unsigned char*>(keep->Dumper), &kept, bytes);
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "wirepeek-capture: %s\n", message.c_str());
  std::fprintf(stderr, "usage: wirepeek-capture [--whole] [--parent PID] ADDRESS|INTERFACE\n");
  return HelperExitRefused;
}

// True once the program has closed our standard input or ended.
bool ProgramGone() {
  pollfd in{STDIN_FILENO, POLLIN, 0};
  if (poll(&in, 1, 0) <= 0) return false;
  if (in.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  char byte;
  return read(STDIN_FILENO, &byte, 1) <= 0;
}

// The kernel's word on address changes of any interface (no right needed);
// -1 when it cannot be had.
int OpenAddressNews() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Empties the news; true when there was any (a lost message counts too).
bool HadAddressNews(int fd) {
  bool any = false;
  char message[8192];
  while (true) {
    const ssize_t n = recv(fd, message, sizeof message, 0);
    if (n > 0 || (n < 0 && errno == ENOBUFS)) {
      any = true;
      continue;
    }
    return any;
  }
}

// After news: the interface's addresses read again, and the filter made for
// them when they changed. A set that cannot be filtered keeps the filter it
// had, which passes no other address's payload.
void FollowAddresses(const std::string& interface, TKeep& keep) {
  std::vector<THostAddress> host;
  if (!SystemIpAddresses(host)) return;
  std::vector<TIpAddress> now = InterfaceAddresses(host, interface);
  if (now == keep.Addresses) return;
  std::string error;
  if (!AttachSnapFilter(pcap_fileno(Handle), keep.LinkType, now, keep.Whole, error, false)) {
    std::fprintf(stderr, "wirepeek-capture: %s: %s\n", interface.c_str(), error.c_str());
    return;
  }
  for (const TIpAddress& a : now)
    if (std::find(keep.Cut.begin(), keep.Cut.end(), a) == keep.Cut.end()) keep.Cut.push_back(a);
  keep.Addresses = std::move(now);
}

// PassOn's answer when the program has closed the stream.
constexpr int StreamClosed = -1000;

// Everything the kernel has ready, written out; the count, StreamClosed, or
// a libpcap error (PCAP_ERROR_BREAK after a stop signal).
int PassOn(TKeep& keep) {
  int group = 0, n = 0;
  while (group < MaxGroup && (n = pcap_dispatch(Handle, -1, WriteRecord, reinterpret_cast<unsigned char*>(&keep))) > 0)
    group += n;
  if (group > 0 && pcap_dump_flush(keep.Dumper) != 0) return StreamClosed;
  return n < 0 ? n : group;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard descriptor would be reused by the next file we open,
  // and the stream or our words would go there.
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0) {
      if (fd != STDERR_FILENO && fcntl(STDERR_FILENO, F_GETFD) >= 0)
        std::fprintf(stderr, "wirepeek-capture: file descriptor %d is not open\n", fd);
      return HelperExitFailed;
    }
  // Never outlive the program: the kernel tells us when it ends (the setting
  // does not survive our own exec, so it is made here).
  prctl(PR_SET_PDEATHSIG, SIGTERM);

  bool whole = false;
  pid_t parent = 0;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--whole") {
      whole = true;
    } else if (arg == "--parent") {
      char* end = nullptr;
      const long pid = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
      if (pid <= 0 || *end != '\0') return Refuse("--parent needs a process id");
      parent = static_cast<pid_t>(pid);
      ++i;
    } else if (!arg.empty() && arg[0] == '-') {
      return Refuse("unknown option " + arg);
    } else {
      operands.push_back(arg);
    }
  }
  // The program may have ended before the death signal was asked for: we
  // then belong to another process already.
  if (parent != 0 && getppid() != parent) {
    std::fprintf(stderr, "wirepeek-capture: the program that started it has ended\n");
    return HelperExitFailed;
  }
  if (operands.size() != 1)
    return Refuse(operands.empty() ? "no address given" : "only one address can be watched");
  std::vector<THostAddress> host;
  if (!SystemIpAddresses(host)) return Refuse("cannot list this host's addresses");
  TIpAddress addr;
  std::string scope, interface;
  std::vector<TIpAddress> addresses;
  const bool wholeInterface = !TIpAddress::Parse(operands[0], addr, &scope);
  if (wholeInterface) {
    // An interface: every address it holds, as they come and go.
    interface = operands[0];
    addresses = InterfaceAddresses(host, interface);
    if (addresses.empty())
      return Refuse(operands[0] + " is neither an address nor an interface of this host that holds one");
  } else {
    // A link-local address is watched on the interface its scope names.
    const bool scoped = std::any_of(host.begin(), host.end(),
                                    [&](const THostAddress& a) { return a.Addr == addr && a.Interface == scope; });
    interface = !scope.empty() ? (scoped ? scope : "") : InterfaceOwning(host, addr);
    if (interface.empty()) return Refuse(operands[0] + " is not an address of this host");
    addresses = {addr};
  }

  TOpenFailure failure;
  // Opened as the program opens it (the kernel's ring is laid out by the
  // snapshot length); the filter decides what each frame keeps.
  Handle = TPcapCaptureSocket::OpenLiveHandle(
      interface, TPcapCaptureSocket::WholeSnapLength, failure, "ip or ip6",
      whole ? TPcapCaptureSocket::RingBufferBytes : TPcapCaptureSocket::HeadersRingBytes);
  if (!Handle) {
    std::fprintf(stderr, "wirepeek-capture: %s: %s\n", interface.c_str(), failure.Reason.c_str());
    return failure.Stage == TOpenStage::Create ? HelperExitCreateFailed
                                                                   : HelperExitActivateFailed;
  }
  TKeep keep{nullptr, pcap_datalink(Handle), addresses, addresses, whole};
  std::string error;
  // Subscribed before the filter is made, so no change is missed in between.
  const int news = wholeInterface ? OpenAddressNews() : -1;
  if (wholeInterface && news < 0) {
    std::fprintf(stderr, "wirepeek-capture: %s: cannot follow its addresses: %s\n", interface.c_str(),
                 std::strerror(errno));
    pcap_close(Handle);
    return HelperExitActivateFailed;
  }
  if (wholeInterface) FollowAddresses(interface, keep);
  if (!AttachSnapFilter(pcap_fileno(Handle), keep.LinkType, keep.Addresses, whole, error, !wholeInterface)) {
    std::fprintf(stderr, "wirepeek-capture: %s: %s\n", interface.c_str(), error.c_str());
    pcap_close(Handle);
    return HelperExitActivateFailed;
  }
  if (!DropRights("", error)) {
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
  keep.Dumper = pcap_dump_fopen(Handle, stdout);
  int status = 0;
  if (!keep.Dumper || pcap_dump_flush(keep.Dumper) != 0) {
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
  bool streamOpen = status == 0;
  while (streamOpen && !StopAsked) {
    if (news >= 0 && HadAddressNews(news)) FollowAddresses(interface, keep);
    const int n = PassOn(keep);
    if (n == PCAP_ERROR_BREAK) break;
    // Stream closed by the program: it has what it wants.
    if (n == StreamClosed) streamOpen = false;
    if (n < 0) {
      if (streamOpen) {
        std::fprintf(stderr, "wirepeek-capture: %s\n", pcap_geterr(Handle));
        status = HelperExitFailed;
      }
      break;
    }
    if (ProgramGone()) break;
    if (n == 0) {
      pollfd fds[3] = {{captureFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {news, POLLIN, 0}};
      poll(fds, news >= 0 ? 3 : 2, 1000);
    }
  }
  // Asked to end: what the kernel captured until now is passed on first,
  // including a block it hands over only when its delivery timeout runs out.
  if (status == 0 && streamOpen) {
    const auto limit = std::chrono::steady_clock::now() + LastPassLimit;
    pollfd fd{captureFd, POLLIN, 0};
    while (std::chrono::steady_clock::now() < limit) {
      // A stop signal's break is spent by the first pass; then we go on.
      const int n = PassOn(keep);
      if (n < 0 && n != PCAP_ERROR_BREAK) break;
      if (n == 0 && poll(&fd, 1, LastBlockWaitMs) <= 0) break;
    }
  }
  pcap_stat stats{};
  if (pcap_stats(Handle, &stats) == 0)
    std::fprintf(stderr, HelperStatsFormat, static_cast<unsigned long long>(stats.ps_recv),
                 static_cast<unsigned long long>(stats.ps_drop) + stats.ps_ifdrop);
  if (keep.Dumper) {
    pcap_dump_flush(keep.Dumper);
    pcap_dump_close(keep.Dumper);  // closes standard output
  }
  pcap_close(Handle);
  if (news >= 0) close(news);
  return status;
}
