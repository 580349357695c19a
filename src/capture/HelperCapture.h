#pragma once
// The capture backend for a program without capture rights: the helper
// wirepeek-capture opens the capture and streams it here as a pcap stream,
// which libpcap decodes as it does a file.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/backend/RightsFix.h"
#include "capture/backend/PcapCapture.h"

// Where the helper is: beside the running executable, else in the installed
// helper folder; empty when neither holds one.
std::string FindCaptureHelper(const std::string& ExePath);

// What a user does when neither the program nor the helper may capture,
// and the words for it on standard error and in reports.
TRightsFix CaptureRightsFix(const std::string& HelperPath);
std::string CaptureRightsAdvice(const std::string& HelperPath);

// Assembles the records of a pcap stream as its bytes arrive, and lends
// libpcap the stream header through a FILE; the whole records that follow
// are read one by one with NextRecord (or through the FILE too, for an old
// stream). Toolkit-free and without I/O of its own, so the parsing can be
// tested and fuzzed on its own.
class THelperStreamBuffer {
 public:
  enum class TState { NeedMore, Ready, Garbled };

  // Appends bytes read from the stream.
  void Append(const std::uint8_t* Data, std::size_t Size);
  // Room for Size more bytes to be read into, then how many were.
  std::uint8_t* Space(std::size_t Size);
  void Commit(std::size_t Size);
  // Checks the stream header and counts whole records not yet lent out.
  TState Scan();
  bool HeaderComplete() const { return HeaderSeen; }
  // Whole records ready to be decoded.
  int ReadyRecords() const { return Ready; }
  // Bytes of a record that has not fully arrived.
  bool HasPartialRecord() const { return Used > Limit; }
  std::string Problem() const { return Trouble; }
  // A FILE through which libpcap reads the stream header, and after each
  // Consumed exactly what Scan found whole; the buffer must outlive it.
  FILE* OpenReader();
  // After the ready records were decoded: forgets them.
  void Consumed();

  // One record as written; Fraction is in nanoseconds in a nanosecond stream.
  struct TRecord {
    const std::uint8_t* Data = nullptr;
    std::uint32_t Length = 0;
    std::int64_t Seconds = 0;
    std::int64_t Fraction = 0;
  };
  // Once the stream header was read and Consumed: the next of the whole
  // records Scan found; false when none is left.
  bool NextRecord(TRecord& Record);
  bool Nanoseconds() const { return Nano; }

 private:
  static ssize_t ReadCookie(void* Self, char* Data, size_t Size);

  std::vector<std::uint8_t> Bytes;
  std::size_t Used = 0;    // bytes of the stream held
  std::size_t Limit = 0;   // end of the whole records found so far
  std::size_t Offset = 0;  // what libpcap has read
  int Ready = 0;
  bool HeaderSeen = false;
  bool Swapped = false;
  bool Nano = false;
  bool HeaderTaken = false;  // Bytes holds records only
  std::string Trouble;
};

// Hands Sink the IPv4 datagrams of the whole records Buffer holds, as
// libpcap would hand them on for a stream of this Form: each cut to the
// snapshot length, its time stamp in microseconds. The number of records
// read, or -1 with Error set.
int DecodeRecords(THelperStreamBuffer& Buffer, TPcapCaptureSocket& Decoder,
                  const TPcapCaptureSocket::TRecordForm& Form, TDatagramSink& Sink, std::string& Error);

class THelperCaptureSocket final : public TCaptureSocket {
 public:
  // How long a helper may take to open the capture and start its stream.
  static constexpr int StartTimeoutMs = 10000;
  // How long the rest of the stream may take to come at the end.
  static constexpr int FinishTimeoutMs = 3000;
  // The most of the helper's standard error kept: its last words.
  static constexpr std::size_t MaxHelperText = 16384;

  // Starts the helper at HelperPath for Address (dotted), keeping whole
  // datagrams when Whole. Launcher, when given, is run in front of the
  // helper (a test runs it as another user this way). Null on failure, with
  // the stage that failed and the helper's own words.
  static std::unique_ptr<THelperCaptureSocket> Open(const std::string& HelperPath, const std::string& Address,
                                                   bool Whole, TOpenFailure& Failure,
                                                   const std::vector<std::string>& Launcher = {});
  ~THelperCaptureSocket() override;

  TReceiveStatus Receive(TDatagramSink& Sink) override;
  // Asks the helper to end and counts the rest of its stream.
  void Finish(TDatagramSink& Sink) override;
  void Interrupt() override;
  void Close() override;
  TCaptureStats Statistics() const override;
  std::string LastError() const override;

  // The helper's process id while it runs (0 afterwards).
  pid_t HelperPid() const { return Pid; }

 private:
  THelperCaptureSocket() = default;
  // Reads what the helper has written; false at the end of the stream.
  bool ReadAvailable();
  // Decodes the records Scan found whole; false with Error set.
  bool Deliver(TDatagramSink& Sink);
  // Waits for the helper to end, at most TimeoutMs, and collects its
  // standard error; then reaps it, by force if need be.
  void FinishHelper(int TimeoutMs);

  pid_t Pid = 0;
  int Input = -1;   // the helper's standard input: closing it ends the helper
  int Stream = -1;  // its standard output
  int Messages = -1;  // its standard error
  int Wake = -1;    // eventfd that Interrupt raises
  int ExitStatus = -1;
  bool StreamEnded = false;
  THelperStreamBuffer Buffer;
  std::unique_ptr<TPcapCaptureSocket> Decoder;
  TPcapCaptureSocket::TRecordForm Form;
  std::string HelperText;  // the end of what the helper said on standard error
  mutable std::mutex Mutex;  // guards FinalStats
  TCaptureStats FinalStats;
  std::string Error;
};
