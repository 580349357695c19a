// The capture helper's stream as the program reads it, arriving in pieces of
// any size: every datagram handed on lies inside the record it came in, and
// no input makes the reader lose its place or read past what arrived.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/HelperCapture.h"

namespace {

struct TCheckingSink final : TDatagramSink {
  void Datagram(const TCapturedDatagram& d) override {
    if (d.Length > 262144) __builtin_trap();
    volatile std::uint8_t sum = 0;
    for (std::size_t i = 0; i < d.Length; ++i) sum = static_cast<std::uint8_t>(sum + d.Data[i]);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte sets how the stream is cut into reads.
  const std::size_t piece = 1 + data[0] % 64;
  ++data;
  --size;
  THelperStreamBuffer buffer;
  std::unique_ptr<TPcapCaptureSocket> decoder;
  TCheckingSink sink;
  for (std::size_t at = 0; at < size; at += piece) {
    buffer.Append(data + at, std::min(piece, size - at));
    const auto state = buffer.Scan();
    if (!decoder && buffer.HeaderComplete()) {
      std::string error;
      FILE* reader = buffer.OpenReader();
      if (!reader) return 0;
      decoder = TPcapCaptureSocket::OpenStream(reader, error);
      if (!decoder) return 0;
      buffer.Consumed();
      continue;
    }
    if (state == THelperStreamBuffer::TState::Garbled) return 0;
    if (decoder && state == THelperStreamBuffer::TState::Ready) {
      const int ready = buffer.ReadyRecords();
      std::string error;
      const int n = DecodeRecords(buffer, *decoder, decoder->RecordForm(), sink, error);
      buffer.Consumed();
      if (n < 0) return 0;
      if (n > ready) __builtin_trap();
    }
  }
  return 0;
}
