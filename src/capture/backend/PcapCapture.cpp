#include "capture/backend/PcapCapture.h"

#include <pcap/pcap.h>

#include <string_view>
#include <utility>

#include "capture/backend/LinkLayer.h"
#include "capture/backend/SnapFilter.h"

namespace {

// A file is read in groups, so its readers are told as it goes.
constexpr int FileGroupSize = 256;

}  // namespace

TPcapCaptureSocket::TPcapCaptureSocket(pcap* handle, bool isFile)
    : Handle(handle), IsFile(isFile), LinkType(pcap_datalink(handle)) {}

TPcapCaptureSocket::~TPcapCaptureSocket() { Close(); }

bool TPcapCaptureSocket::Prepare(pcap* handle, const char* filter, std::string& error) {
  const int linkType = pcap_datalink(handle);
  if (!IsSupportedLinkType(linkType)) {
    const char* name = pcap_datalink_val_to_name(linkType);
    error = "link type " + std::to_string(linkType) + (name ? std::string(" (") + name + ")" : "") +
            " is not supported";
    return false;
  }
  // Live captures leave other protocols in the kernel. A file (no filter) is
  // filtered by the decoder instead: "ip" would miss VLAN-tagged frames
  // there, which a live capture gets untagged.
  if (!filter) return true;
  bpf_program program{};
  if (pcap_compile(handle, &program, filter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
    error = pcap_geterr(handle);
    return false;
  }
  const int set = pcap_setfilter(handle, &program);
  pcap_freecode(&program);
  if (set != 0) {
    error = pcap_geterr(handle);
    return false;
  }
  return true;
}

pcap* TPcapCaptureSocket::OpenLiveHandle(const std::string& interface, int snapLength, TOpenFailure& failure,
                                         const char* filter, int ringBytes) {
  char message[PCAP_ERRBUF_SIZE] = {};
  failure = TOpenFailure{};
  pcap* handle = pcap_create(interface.c_str(), message);
  if (!handle) {
    failure.Reason = message;
    return nullptr;
  }
  failure.Stage = TOpenStage::Activate;
  pcap_set_snaplen(handle, snapLength);
  pcap_set_promisc(handle, 0);
  pcap_set_timeout(handle, DeliveryTimeoutMs);
  pcap_set_buffer_size(handle, ringBytes);
  const int status = pcap_activate(handle);
  if (status < 0) {
    const std::string detail = pcap_geterr(handle);
    failure.Reason = std::string(pcap_statustostr(status)) + (detail.empty() ? "" : ": " + detail);
    failure.PermissionDenied = status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED;
    pcap_close(handle);
    return nullptr;
  }
  if (!Prepare(handle, filter, failure.Reason)) {
    pcap_close(handle);
    return nullptr;
  }
  return handle;
}

std::unique_ptr<TPcapCaptureSocket> TPcapCaptureSocket::OpenLive(const std::string& interface, TOpenFailure& failure,
                                                                  const char* filter, int ringBytes) {
  pcap* handle = OpenLiveHandle(interface, WholeSnapLength, failure, filter, ringBytes);
  if (!handle) return nullptr;
  return std::unique_ptr<TPcapCaptureSocket>(new TPcapCaptureSocket(handle, false));
}

bool TPcapCaptureSocket::KeepOnlyCounted(std::span<const TIpAddress> addresses, std::string& error) {
  std::lock_guard lock(Mutex);
  if (!Handle || IsFile) {
    error = "not a live capture";
    return false;
  }
  return AttachSnapFilter(pcap_fileno(Handle), LinkType, addresses, false, error);
}

std::unique_ptr<TPcapCaptureSocket> TPcapCaptureSocket::Offline(pcap* handle, const char* message,
                                                                 std::string& error) {
  if (!handle) {
    error = message;
    return nullptr;
  }
  if (!Prepare(handle, nullptr, error)) {
    pcap_close(handle);
    return nullptr;
  }
  return std::unique_ptr<TPcapCaptureSocket>(new TPcapCaptureSocket(handle, true));
}

std::unique_ptr<TPcapCaptureSocket> TPcapCaptureSocket::OpenFile(const std::string& path, std::string& error) {
  char message[PCAP_ERRBUF_SIZE] = {};
  pcap* handle = pcap_open_offline(path.c_str(), message);
  // The library starts its reason with the path, which the caller names
  // already.
  const std::string_view text = message;
  const std::string named = path + ": ";
  return Offline(handle, text.starts_with(named) ? message + named.size() : message, error);
}

std::unique_ptr<TPcapCaptureSocket> TPcapCaptureSocket::OpenStream(FILE* stream, std::string& error) {
  char message[PCAP_ERRBUF_SIZE] = {};
  pcap* handle = pcap_fopen_offline(stream, message);
  if (!handle) std::fclose(stream);
  return Offline(handle, message, error);
}

// Capture thread, called by libpcap for each frame.
void TPcapCaptureSocket::OnFrame(unsigned char* user, const pcap_pkthdr* header, const unsigned char* bytes) {
  auto* self = reinterpret_cast<TPcapCaptureSocket*>(user);
  if (self->SinkFailure) return;
  std::size_t offset = 0, length = 0;
  if (!LocateIp(self->LinkType, bytes, header->caplen, offset, length)) return;
  TCapturedDatagram datagram;
  datagram.Data = bytes + offset;
  datagram.Length = length;
  datagram.Seconds = header->ts.tv_sec;
  datagram.Microseconds = header->ts.tv_usec;
  // An exception must not unwind through libpcap's C frames: keep it, stop
  // the loop, and raise it again in Receive.
  try {
    self->Sink->Datagram(datagram);
  } catch (...) {
    self->SinkFailure = std::current_exception();
    pcap_breakloop(self->Handle);
  }
}

TCaptureSocket::TReceiveStatus TPcapCaptureSocket::Receive(TDatagramSink& sink) {
  if (!Handle) {
    Error = "capture handle is closed";
    return TReceiveStatus::Failed;
  }
  Sink = &sink;
  const int n = pcap_dispatch(Handle, IsFile ? FileGroupSize : -1, &TPcapCaptureSocket::OnFrame,
                              reinterpret_cast<unsigned char*>(this));
  Sink = nullptr;
  if (SinkFailure) std::rethrow_exception(std::exchange(SinkFailure, nullptr));
  if (n > 0) return TReceiveStatus::Datagrams;
  if (n == 0) return IsFile ? TReceiveStatus::EndOfFile : TReceiveStatus::Idle;
  if (n == PCAP_ERROR_BREAK) return TReceiveStatus::Interrupted;
  Error = pcap_geterr(Handle);
  return TReceiveStatus::Failed;
}

// Capture thread.
int TPcapCaptureSocket::DispatchRecords(TDatagramSink& sink, int count) {
  if (!Handle) {
    Error = "capture handle is closed";
    return -1;
  }
  Sink = &sink;
  const int n = pcap_dispatch(Handle, count, &TPcapCaptureSocket::OnFrame, reinterpret_cast<unsigned char*>(this));
  Sink = nullptr;
  if (SinkFailure) std::rethrow_exception(std::exchange(SinkFailure, nullptr));
  if (n < 0) {
    Error = n == PCAP_ERROR_BREAK ? "interrupted" : pcap_geterr(Handle);
    return -1;
  }
  return n;
}

TPcapCaptureSocket::TRecordForm TPcapCaptureSocket::RecordForm() const {
  std::lock_guard lock(Mutex);
  TRecordForm form;
  if (!Handle) return form;
  form.LinkType = LinkType;
  form.SnapLength = static_cast<std::uint32_t>(pcap_snapshot(Handle));
  form.LengthsAsWritten = pcap_major_version(Handle) == 2 && pcap_minor_version(Handle) >= 4;
  return form;
}

// Any thread.
void TPcapCaptureSocket::Interrupt() {
  std::lock_guard lock(Mutex);
  if (Handle) pcap_breakloop(Handle);
}

void TPcapCaptureSocket::Close() {
  std::lock_guard lock(Mutex);
  if (!Handle) return;
  if (!IsFile) {
    pcap_stat stats{};
    if (pcap_stats(Handle, &stats) == 0) {
      FinalStats.Received = stats.ps_recv;
      FinalStats.Dropped = static_cast<std::uint64_t>(stats.ps_drop) + stats.ps_ifdrop;
    }
  }
  pcap_close(Handle);
  Handle = nullptr;
}

// The kernel's figures are read when the handle closes: reading them while
// the capture thread receives would race inside libpcap.
TCaptureStats TPcapCaptureSocket::Statistics() const {
  std::lock_guard lock(Mutex);
  return FinalStats;
}

// Capture thread, between receives, so libpcap is not inside a read.
TCaptureStats TPcapCaptureSocket::LiveStatistics() {
  std::lock_guard lock(Mutex);
  if (!Handle || IsFile) return FinalStats;
  pcap_stat stats{};
  if (pcap_stats(Handle, &stats) != 0) return FinalStats;
  return {stats.ps_recv, static_cast<std::uint64_t>(stats.ps_drop) + stats.ps_ifdrop};
}

std::string TPcapCaptureSocket::LastError() const { return Error; }
