#pragma once
// A pcap or pcapng file as a capture, read by the engine's own decoder:
// the capture backend for files where there is no libpcap.
#include <cstdio>
#include <memory>
#include <string>

#include "capture/backend/CaptureBackend.h"
#include "capture/backend/CaptureFileDecoder.h"

class TCaptureFileSocket final : public TCaptureSocket {
 public:
  // Null with Error when the file cannot be opened, is not a capture or
  // holds a link type the engine cannot decode.
  static std::unique_ptr<TCaptureFileSocket> Open(const std::string& Path, std::string& Error);
  ~TCaptureFileSocket() override;

  // Hands Sink the next group of records' IPv4 datagrams.
  TReceiveStatus Receive(TDatagramSink& Sink) override;
  void Interrupt() override {}
  void Close() override;
  TCaptureStats Statistics() const override { return {}; }
  std::string LastError() const override { return Error; }

 private:
  TCaptureFileSocket() = default;
  // Reads the next piece of the file into the decoder; false at its end.
  bool ReadMore();

  std::FILE* File = nullptr;
  bool AtEnd = false;
  TCaptureFileDecoder Decoder;
  std::string Error;
};
