#pragma once
// The capture backend on libpcap: a live interface or a capture file.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "capture/backend/CaptureBackend.h"
#include "capture/backend/IpAddress.h"
#include "capture/backend/OpenFailure.h"

struct pcap;

class TPcapCaptureSocket final : public TCaptureSocket {
 public:
  // Kernel ring buffer of a live capture that keeps whole datagrams, and of
  // one that keeps only their headers: a smaller ring is quicker to set up
  // and still holds a flood's worth of headers for a tenth of a second.
  static constexpr int RingBufferBytes = 32 * 1024 * 1024;
  static constexpr int HeadersRingBytes = 4 * 1024 * 1024;
  // How long the kernel may hold datagrams before handing them over; bounds
  // the delay between the wire and the screen.
  static constexpr int DeliveryTimeoutMs = 20;
  // Room for a whole 65,535-byte datagram behind any link header we decode.
  static constexpr int WholeSnapLength = 65535 + 256;

  // Live capture of every IP datagram the interface sends or receives.
  // On failure returns null, with the stage that failed and the reason.
  // Filter: the families a live capture takes from the kernel ("ip",
  // "ip6", or both).
  static std::unique_ptr<TPcapCaptureSocket> OpenLive(const std::string& Interface, TOpenFailure& Failure,
                                                      const char* Filter = "ip", int RingBytes = RingBufferBytes);
  // The same live handle, keeping SnapLength bytes of each frame, for a
  // caller that reads it itself (the capture helper). Null on failure.
  static pcap* OpenLiveHandle(const std::string& Interface, int SnapLength, TOpenFailure& Failure,
                              const char* Filter = "ip or ip6", int RingBytes = RingBufferBytes);
  // A pcap or pcapng file, decoded the same way.
  static std::unique_ptr<TPcapCaptureSocket> OpenFile(const std::string& Path, std::string& Error);
  // A pcap stream read through Stream, which the socket then owns. The
  // caller hands it records with DispatchRecords, only whole ones.
  static std::unique_ptr<TPcapCaptureSocket> OpenStream(FILE* Stream, std::string& Error);

  ~TPcapCaptureSocket() override;

  // Live captures: from now on the kernel hands over only the bytes the
  // counting reads (see SnapFilter.h), locked there. False with Error, the
  // capture then going on as it was.
  bool KeepOnlyCounted(std::span<const TIpAddress> Addresses, std::string& Error);

  TReceiveStatus Receive(TDatagramSink& Sink) override;
  // Streams: decodes the next Count records; the number decoded, or -1 with
  // LastError set.
  int DispatchRecords(TDatagramSink& Sink, int Count);
  // Streams, once the library has read the header: what a caller that reads
  // the records itself needs to read them as the library does.
  struct TRecordForm {
    int LinkType = 0;
    std::uint32_t SnapLength = 0;  // longer records are cut to it
    // The records' lengths are taken as written (version 2.4 and later);
    // the library may swap them in older streams.
    bool LengthsAsWritten = false;
  };
  TRecordForm RecordForm() const;
  void Interrupt() override;
  void Close() override;
  // Live captures: the kernel's counts, known once the handle is closed.
  TCaptureStats Statistics() const override;
  TCaptureStats LiveStatistics() override;
  std::string LastError() const override;

 private:
  TPcapCaptureSocket(pcap* Handle, bool IsFile);
  static void OnFrame(unsigned char* User, const struct pcap_pkthdr* Header, const unsigned char* Bytes);
  static bool Prepare(pcap* Handle, const char* Filter, std::string& Error);
  // A file or stream handle made ready, or null with Message as the error.
  static std::unique_ptr<TPcapCaptureSocket> Offline(pcap* Handle, const char* Message, std::string& Error);

  mutable std::mutex Mutex;  // guards Handle against Interrupt from another thread
  pcap* Handle;
  const bool IsFile;
  int LinkType = 0;
  TDatagramSink* Sink = nullptr;
  std::exception_ptr SinkFailure;
  TCaptureStats FinalStats;
  std::string Error;
};
