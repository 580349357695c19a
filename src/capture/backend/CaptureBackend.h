#pragma once
// The seam between the capture engine and whatever delivers datagrams: the
// capture handle, and the sink it hands each datagram to. The capture helper
// sees this and nothing else of the engine.
#include <cstddef>
#include <cstdint>
#include <string>

// One IPv4 datagram as the capture backend delivers it, from its IP header on.
struct TCapturedDatagram {
  const std::uint8_t* Data = nullptr;
  std::size_t Length = 0;
  std::int64_t Seconds = 0;  // capture time stamp
  std::int64_t Microseconds = 0;
};

class TDatagramSink {
 public:
  virtual ~TDatagramSink() = default;
  virtual void Datagram(const TCapturedDatagram& Datagram) = 0;
};

struct TCaptureStats {
  std::uint64_t Received = 0;
  std::uint64_t Dropped = 0;
};

// The capture handle behind CaptureSocket; the capture backend derives from it.
class TCaptureSocket {
 public:
  enum class TReceiveStatus { Datagrams, Idle, Interrupted, EndOfFile, Failed };

  virtual ~TCaptureSocket() = default;
  // Capture thread: waits a short while for traffic, then hands every
  // datagram that is already waiting to Sink, in order.
  virtual TReceiveStatus Receive(TDatagramSink& Sink) = 0;
  // Any thread: makes a pending or the next receive return at once.
  virtual void Interrupt() = 0;
  // Capture thread, after its loop: hands Sink what the backend still holds
  // of the traffic before the stop, within a bounded time.
  virtual void Finish(TDatagramSink& /*Sink*/) {}
  // Capture thread, after its loop: releases the handle (statistics stay).
  virtual void Close() = 0;
  virtual TCaptureStats Statistics() const = 0;
  // Capture thread, between receives: the kernel's counts so far, for front
  // ends that show them while the capture runs.
  virtual TCaptureStats LiveStatistics() { return Statistics(); }
  // The backend's own words for the last failure.
  virtual std::string LastError() const = 0;
};

// What the capture layer reports about itself when it is started.
struct TCaptureStartupInfo {
  std::string Description;
};
