// The program's side of the capture helper's stream, per record: cutting
// the bytes into records and decoding them, read by libpcap through its
// stream reader (in_place:0) and read in place (in_place:1). Ethernet
// frames of UDP datagrams with 64 payload bytes, as a flood brings them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/HelperCapture.h"

namespace {

constexpr int Records = 1024;

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

struct TCountingSink final : TDatagramSink {
  void Datagram(const TCapturedDatagram& d) override { Bytes += d.Length; }
  std::size_t Bytes = 0;
};

void BM_HelperStream(benchmark::State& state) {
  std::vector<std::uint8_t> header;
  for (std::uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, 1u}) Put32(header, v);
  std::vector<std::uint8_t> frame(14 + 20 + 8 + 64);
  frame[12] = 0x08;  // IPv4
  frame[14] = 0x45;
  frame[17] = 20 + 8 + 64;
  frame[23] = 17;
  std::vector<std::uint8_t> records;
  for (int i = 0; i < Records; ++i) {
    for (std::uint32_t v : {1'700'000'000u, static_cast<std::uint32_t>(i), std::uint32_t(frame.size()),
                            std::uint32_t(frame.size())})
      Put32(records, v);
    records.insert(records.end(), frame.begin(), frame.end());
  }

  THelperStreamBuffer buffer;
  buffer.Append(header.data(), header.size());
  buffer.Scan();
  std::string error;
  auto decoder = TPcapCaptureSocket::OpenStream(buffer.OpenReader(), error);
  if (!decoder) {
    state.SkipWithError(error.c_str());
    return;
  }
  auto form = decoder->RecordForm();
  form.LengthsAsWritten = state.range(0) != 0;
  buffer.Consumed();
  TCountingSink sink;
  for (auto _ : state) {
    buffer.Append(records.data(), records.size());
    buffer.Scan();
    if (DecodeRecords(buffer, *decoder, form, sink, error) != Records) state.SkipWithError("records lost");
    buffer.Consumed();
  }
  benchmark::DoNotOptimize(sink.Bytes);
  state.SetItemsProcessed(state.iterations() * Records);
}
BENCHMARK(BM_HelperStream)->ArgName("in_place")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
