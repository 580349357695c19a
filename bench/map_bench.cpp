// Parsing and searching a link map of 100,000 lines.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "diagnostics/LinkMap.h"

namespace {

std::string SyntheticMap(int Lines) {
  std::string text = "WPMAP 1\nBUILDID 0123456789abcdef\n";
  for (int i = 0; i < 100; ++i) text += "F " + std::to_string(i) + " Unit" + std::to_string(i) + ".cpp\n";
  const int procedures = Lines / 10;
  char buffer[96];
  for (int i = 0; i < procedures; ++i) {
    std::snprintf(buffer, sizeof buffer, "P %x a0 %d TUnit%d.Procedure%d\n", 0x1000 + i * 0xa0, i % 100, i % 100, i);
    text += buffer;
  }
  const int rows = Lines - procedures;
  for (int i = 0; i < rows; ++i) {
    std::snprintf(buffer, sizeof buffer, "L %x %d %d\n", 0x1000 + i * 0x10, (i / 9) % 100, 1 + i % 4000);
    text += buffer;
  }
  text += "END " + std::to_string(procedures) + " " + std::to_string(rows) + "\n";
  return text;
}

void BM_ParseMap(benchmark::State& State) {
  const std::string text = SyntheticMap(static_cast<int>(State.range(0)));
  for (auto _ : State) {
    auto map = TLinkMap::Parse(text);
    benchmark::DoNotOptimize(map);
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseMap)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_LocateAddress(benchmark::State& State) {
  const auto map = TLinkMap::Parse(SyntheticMap(100000));
  std::uint64_t offset = 0x1000;
  TAddressLocation location;
  for (auto _ : State) {
    benchmark::DoNotOptimize(map->Locate(offset, location));
    offset = 0x1000 + (offset * 7919) % 0xe0000;
  }
}
BENCHMARK(BM_LocateAddress);

}  // namespace

BENCHMARK_MAIN();
