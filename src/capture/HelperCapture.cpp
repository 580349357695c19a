#include "capture/HelperCapture.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdio_ext.h>
#include <cstring>
#include <utility>

#include "capture/backend/HelperProtocol.h"
#include "capture/backend/LinkLayer.h"

extern char** environ;

#ifndef WIREPEEK_HELPER_DIR
#define WIREPEEK_HELPER_DIR "/usr/libexec/wirepeek"
#endif

namespace {

constexpr const char* HelperName = "wirepeek-capture";
constexpr std::uint32_t MagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t MagicNano = 0xA1B23C4D;
constexpr std::size_t StreamHeaderBytes = 24;
constexpr std::size_t RecordHeaderBytes = 16;
// Larger than any snapshot length libpcap writes; a record claiming more
// means the stream is out of step.
constexpr std::uint32_t MaxRecordBytes = 262144;
// How long Receive waits for the helper before it reports an idle spell.
constexpr int IdleWaitMs = 50;

std::uint32_t Load32(const std::uint8_t* p, bool swapped) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return swapped ? __builtin_bswap32(v) : v;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Reads whatever fd holds now into text, keeping its last Limit bytes;
// false at its end.
bool DrainInto(int fd, std::string& text, std::size_t limit) {
  char chunk[4096];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
  if (text.size() > limit) text.erase(0, text.size() - limit);
  return n > 0 || (n < 0 && errno == EINTR);
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string FindCaptureHelper(const std::string& exePath) {
  std::vector<std::string> candidates;
  const auto slash = exePath.rfind('/');
  if (slash != std::string::npos) candidates.push_back(exePath.substr(0, slash + 1) + HelperName);
  candidates.push_back(std::string(WIREPEEK_HELPER_DIR) + "/" + HelperName);
  for (const auto& c : candidates)
    if (::access(c.c_str(), X_OK) == 0) return c;
  // One we may not run still decides the advice.
  for (const auto& c : candidates)
    if (::access(c.c_str(), F_OK) == 0) return c;
  return {};
}

TRightsFix CaptureRightsFix(const std::string& helperPath) {
  TRightsFix fix;
  fix.HelperPath = helperPath;
  fix.Group = "wirepeek";
  if (const passwd* user = ::getpwuid(::geteuid())) fix.User = user->pw_name;
  if (helperPath.empty() || ::access(helperPath.c_str(), F_OK) != 0)
    fix.Kind = TRightsFix::TKind::NotInstalled;
  else if (::access(helperPath.c_str(), X_OK) != 0)
    fix.Kind = TRightsFix::TKind::JoinGroup;
  else
    fix.Kind = TRightsFix::TKind::SetCap;
  return fix;
}

std::string CaptureRightsAdvice(const std::string& helperPath) {
  const TRightsFix fix = CaptureRightsFix(helperPath);
  if (fix.Kind == TRightsFix::TKind::NotInstalled)
    return "live capture needs root or the capture helper wirepeek-capture, which is not installed: install the "
           "wirepeek package, or run ./run from the source folder";
  if (fix.Kind == TRightsFix::TKind::JoinGroup) return "add yourself to the group wirepeek, then log in again";
  return "the capture helper has no capture rights: sudo setcap cap_net_raw=ep " + helperPath;
}

// ---- THelperStreamBuffer ----

std::uint8_t* THelperStreamBuffer::Space(std::size_t size) {
  // The vector only grows; Used says how much of it holds the stream.
  if (Bytes.size() - Used < size) Bytes.resize(Used + size);
  return Bytes.data() + Used;
}

void THelperStreamBuffer::Commit(std::size_t size) { Used += size; }

void THelperStreamBuffer::Append(const std::uint8_t* data, std::size_t size) {
  std::memcpy(Space(size), data, size);
  Commit(size);
}

THelperStreamBuffer::TState THelperStreamBuffer::Scan() {
  if (Trouble.empty() && !HeaderSeen && Used >= StreamHeaderBytes) {
    const std::uint32_t magic = Load32(Bytes.data(), false);
    if (magic == MagicMicro || magic == MagicNano) {
      HeaderSeen = true;
      Nano = magic == MagicNano;
    } else if (magic == __builtin_bswap32(MagicMicro) || magic == __builtin_bswap32(MagicNano)) {
      HeaderSeen = Swapped = true;
      Nano = magic == __builtin_bswap32(MagicNano);
    } else {
      Trouble = "the stream does not start as a pcap stream";
    }
    Limit = StreamHeaderBytes;
  }
  while (Trouble.empty() && HeaderSeen && Used - Limit >= RecordHeaderBytes) {
    const std::uint32_t caplen = Load32(Bytes.data() + Limit + 8, Swapped);
    if (caplen > MaxRecordBytes) {
      Trouble = "a record claims " + std::to_string(caplen) + " bytes";
      break;
    }
    if (Used - Limit - RecordHeaderBytes < caplen) break;
    Limit += RecordHeaderBytes + caplen;
    ++Ready;
  }
  // The records before a garbled one are still delivered.
  if (Ready > 0) return TState::Ready;
  return Trouble.empty() ? TState::NeedMore : TState::Garbled;
}

ssize_t THelperStreamBuffer::ReadCookie(void* self, char* data, size_t size) {
  auto* buffer = static_cast<THelperStreamBuffer*>(self);
  const std::size_t n = std::min(size, buffer->Limit - buffer->Offset);
  if (n) std::memcpy(data, buffer->Bytes.data() + buffer->Offset, n);
  buffer->Offset += n;
  return static_cast<ssize_t>(n);
}

FILE* THelperStreamBuffer::OpenReader() {
  // Only the stream header at first: records found whole meanwhile are found
  // again after Consumed, so none is counted twice.
  if (!HeaderSeen) return nullptr;
  Limit = StreamHeaderBytes;
  Ready = 0;
  cookie_io_functions_t io{};
  io.read = &THelperStreamBuffer::ReadCookie;
  // Buffered: stdio may read ahead, but never past what Scan found whole,
  // which libpcap then reads to the end.
  FILE* file = fopencookie(this, "r", io);
  // Read by one thread only.
  if (file) __fsetlocking(file, FSETLOCKING_BYCALLER);
  return file;
}

void THelperStreamBuffer::Consumed() {
  // What was found whole but not read yet, and a garbled record behind it,
  // are found again by the next Scan.
  if (Used > Offset) std::memmove(Bytes.data(), Bytes.data() + Offset, Used - Offset);
  Used -= Offset;
  if (HeaderSeen) {
    Trouble.clear();
    HeaderTaken = true;
  }
  Limit = 0;
  Offset = 0;
  Ready = 0;
}

bool THelperStreamBuffer::NextRecord(TRecord& record) {
  if (!HeaderTaken || Limit - Offset < RecordHeaderBytes) return false;
  const std::uint8_t* at = Bytes.data() + Offset;
  // The time stamp's halves as libpcap widens them: signed as written in
  // this machine's order, unsigned once swapped.
  const auto widen = [this](std::uint32_t v) -> std::int64_t {
    return Swapped ? std::int64_t{v} : std::int64_t{static_cast<std::int32_t>(v)};
  };
  record.Seconds = widen(Load32(at, Swapped));
  record.Fraction = widen(Load32(at + 4, Swapped));
  record.Length = Load32(at + 8, Swapped);
  record.Data = at + RecordHeaderBytes;
  // Scan found it whole.
  Offset += RecordHeaderBytes + record.Length;
  return true;
}

int DecodeRecords(THelperStreamBuffer& buffer, TPcapCaptureSocket& decoder,
                  const TPcapCaptureSocket::TRecordForm& form, TDatagramSink& sink, std::string& error) {
  if (!form.LengthsAsWritten) {
    const int n = decoder.DispatchRecords(sink, buffer.ReadyRecords());
    if (n < 0) error = decoder.LastError();
    return n;
  }
  // Each record once, in place: no copy through the library's reader.
  int n = 0;
  THelperStreamBuffer::TRecord record;
  while (buffer.NextRecord(record)) {
    ++n;
    // Scan refuses a record longer than the library's own limit, so only
    // the snapshot length can cut one.
    const std::size_t captured = std::min(record.Length, form.SnapLength);
    std::size_t offset = 0, length = 0;
    if (!LocateIp(form.LinkType, record.Data, captured, offset, length)) continue;
    TCapturedDatagram datagram;
    datagram.Data = record.Data + offset;
    datagram.Length = length;
    datagram.Seconds = record.Seconds;
    datagram.Microseconds = buffer.Nanoseconds() ? record.Fraction / 1000 : record.Fraction;
    sink.Datagram(datagram);
  }
  return n;
}

// ---- THelperCaptureSocket ----

std::unique_ptr<THelperCaptureSocket> THelperCaptureSocket::Open(const std::string& helperPath,
                                                                const std::string& address, bool whole,
                                                                TOpenFailure& failure,
                                                                const std::vector<std::string>& launcher) {
  failure = TOpenFailure{};
  std::unique_ptr<THelperCaptureSocket> self(new THelperCaptureSocket);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    failure.Reason = std::string("pipe: ") + std::strerror(errno);
    for (int* p : {in, out, err}) {
      CloseFd(p[0]);
      CloseFd(p[1]);
    }
    return nullptr;
  }
  self->Input = in[1];
  self->Stream = out[0];
  // Room for a burst while the capture thread is busy; best effort.
  fcntl(self->Stream, F_SETPIPE_SZ, 1 << 20);
  self->Messages = err[0];
  self->Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

  std::vector<std::string> args = launcher;
  args.push_back(helperPath);
  if (whole) args.push_back("--whole");
  args.push_back("--parent");
  args.push_back(std::to_string(getpid()));
  args.push_back(address);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  CloseFd(in[0]);
  CloseFd(out[1]);
  CloseFd(err[1]);
  if (spawned != 0) {
    failure.Reason = "cannot start " + helperPath + ": " + std::strerror(spawned);
    return nullptr;
  }
  self->Pid = pid;

  // The helper writes the stream's header once the capture is open.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StartTimeoutMs);
  bool messagesOpen = true;
  while (!self->Buffer.HeaderComplete()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      failure.Stage = TOpenStage::Activate;
      failure.Reason = "the capture helper did not start its stream in time";
      self->FinishHelper(0);
      return nullptr;
    }
    pollfd fds[2] = {{self->Stream, POLLIN, 0}, {messagesOpen ? self->Messages : -1, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (fds[1].revents) messagesOpen = DrainInto(self->Messages, self->HelperText, MaxHelperText);
    if (fds[0].revents && (!self->ReadAvailable() || self->Buffer.Scan() == THelperStreamBuffer::TState::Garbled))
      break;
    self->Buffer.Scan();
  }
  if (!self->Buffer.HeaderComplete()) {
    self->FinishHelper(2000);
    const int code = WIFEXITED(self->ExitStatus) ? WEXITSTATUS(self->ExitStatus) : -1;
    failure.Stage = code == HelperExitCreateFailed || code == HelperExitRefused ? TOpenStage::Create
                                                                             : TOpenStage::Activate;
    failure.Reason = Trimmed(self->HelperText);
    if (failure.Reason.empty())
      failure.Reason = self->Buffer.Problem().empty() ? "the capture helper ended without a word"
                                                      : "the capture helper's stream: " + self->Buffer.Problem();
    failure.PermissionDenied = code == HelperExitActivateFailed &&
                               failure.Reason.find("ermission") != std::string::npos;
    return nullptr;
  }
  FILE* reader = self->Buffer.OpenReader();
  std::string error = "cannot read the capture helper's stream";
  if (reader) self->Decoder = TPcapCaptureSocket::OpenStream(reader, error);
  if (!self->Decoder) {
    failure.Stage = TOpenStage::Activate;
    failure.Reason = error;
    self->Close();
    return nullptr;
  }
  self->Form = self->Decoder->RecordForm();
  self->Buffer.Consumed();
  return self;
}

THelperCaptureSocket::~THelperCaptureSocket() {
  Close();
  std::lock_guard lock(Mutex);
  CloseFd(Wake);
}

bool THelperCaptureSocket::ReadAvailable() {
  int pending = 0;
  if (ioctl(Stream, FIONREAD, &pending) != 0 || pending <= 0) pending = 4096;
  std::uint8_t* space = Buffer.Space(static_cast<std::size_t>(pending));
  for (;;) {
    const ssize_t n = ::read(Stream, space, static_cast<std::size_t>(pending));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      StreamEnded = true;
      return false;
    }
    Buffer.Commit(static_cast<std::size_t>(n));
    return true;
  }
}

// Capture thread.
TCaptureSocket::TReceiveStatus THelperCaptureSocket::Receive(TDatagramSink& sink) {
  if (!Decoder) {
    Error = "capture handle is closed";
    return TReceiveStatus::Failed;
  }
  auto state = Buffer.Scan();
  if (state == THelperStreamBuffer::TState::NeedMore) {
    if (!StreamEnded) {
      // Its words are read as they come (keeping the end), so a talkative
      // helper never stalls on a full pipe.
      pollfd fds[3] = {{Stream, POLLIN, 0}, {Wake, POLLIN, 0}, {Messages, POLLIN, 0}};
      const int ready = poll(fds, 3, IdleWaitMs);
      if (fds[2].revents && !DrainInto(Messages, HelperText, MaxHelperText)) CloseFd(Messages);
      if (ready < 0 && errno != EINTR) {
        Error = std::string("poll: ") + std::strerror(errno);
        return TReceiveStatus::Failed;
      }
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        if (::read(Wake, &count, sizeof count) < 0) {
          // Nothing to do: the next interrupt raises it again.
        }
        return TReceiveStatus::Interrupted;
      }
      if (fds[0].revents) ReadAvailable();
    }
    state = Buffer.Scan();
    if (state == THelperStreamBuffer::TState::NeedMore) {
      if (!StreamEnded) return TReceiveStatus::Idle;
      Error = Buffer.HasPartialRecord() ? "the capture helper's stream ended in the middle of a datagram"
                                        : "the capture helper ended";
      return TReceiveStatus::Failed;
    }
  }
  if (state == THelperStreamBuffer::TState::Garbled) {
    Error = "the capture helper's stream is garbled: " + Buffer.Problem();
    return TReceiveStatus::Failed;
  }
  return Deliver(sink) ? TReceiveStatus::Datagrams : TReceiveStatus::Failed;
}

bool THelperCaptureSocket::Deliver(TDatagramSink& sink) {
  struct TConsume {
    THelperStreamBuffer& Buffer;
    ~TConsume() { Buffer.Consumed(); }
  } consume{Buffer};
  std::string problem;
  if (DecodeRecords(Buffer, *Decoder, Form, sink, problem) < 0) {
    Error = "the capture helper's stream: " + problem;
    return false;
  }
  return true;
}

// Capture thread, after its loop. The helper passes on what the kernel
// still holds once its standard input closes, then ends the stream; every
// record up to that end is counted, so a datagram just before the stop is
// not lost between the kernel, the helper and this process.
void THelperCaptureSocket::Finish(TDatagramSink& sink) {
  if (!Decoder || Pid <= 0) return;
  CloseFd(Input);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FinishTimeoutMs);
  for (;;) {
    const auto state = Buffer.Scan();
    if (state == THelperStreamBuffer::TState::Ready) {
      if (!Deliver(sink)) return;
      continue;
    }
    if (state == THelperStreamBuffer::TState::Garbled || StreamEnded) return;
    pollfd fd{Stream, POLLIN, 0};
    const int ready = poll(&fd, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    ReadAvailable();
  }
}

// Any thread.
void THelperCaptureSocket::Interrupt() {
  std::lock_guard lock(Mutex);
  if (Wake < 0) return;
  const std::uint64_t one = 1;
  if (::write(Wake, &one, sizeof one) < 0) {
    // The counter is already raised: the receive wakes all the same.
  }
}

void THelperCaptureSocket::FinishHelper(int timeoutMs) {
  CloseFd(Input);
  CloseFd(Stream);
  if (Pid > 0) ::kill(Pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Messages >= 0) {
    const int left = MsLeft(deadline);
    if (left <= 0) break;
    pollfd fd{Messages, POLLIN, 0};
    const int ready = poll(&fd, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !DrainInto(Messages, HelperText, MaxHelperText)) break;
  }
  CloseFd(Messages);
  if (Pid <= 0) return;
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 50 && (done = ::waitpid(Pid, &status, WNOHANG)) == 0; ++i) usleep(10000);
  if (done == 0) {
    ::kill(Pid, SIGKILL);
    done = ::waitpid(Pid, &status, 0);
  }
  ExitStatus = done == Pid ? status : -1;
  Pid = 0;
}

// Capture thread, after its loop.
void THelperCaptureSocket::Close() {
  Decoder.reset();
  if (Pid <= 0 && Messages < 0) return;
  FinishHelper(3000);
  TCaptureStats stats;
  const auto at = HelperText.rfind("kernel received ");
  unsigned long long received = 0, dropped = 0;
  if (at != std::string::npos && std::sscanf(HelperText.c_str() + at, HelperStatsFormat, &received, &dropped) == 2) {
    stats.Received = received;
    stats.Dropped = dropped;
  }
  std::lock_guard lock(Mutex);
  FinalStats = stats;
}

TCaptureStats THelperCaptureSocket::Statistics() const {
  std::lock_guard lock(Mutex);
  return FinalStats;
}

std::string THelperCaptureSocket::LastError() const {
  const std::string said = Trimmed(HelperText);
  return said.empty() || Error.find("ended") == std::string::npos ? Error : Error + ": " + said;
}
