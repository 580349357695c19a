// Per-datagram cost of the capture core: classify + count, the packet dump
// with the lines device and with the null device bound, the capture
// thread's share of a dump now that it only hands the bytes off, and the
// per-address and per-port folds under a flood of new addresses and ports.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <random>
#include <cstring>
#include <vector>

#include "capture/AddrHeavyHitters.h"
#include "capture/AddrTotals.h"
#include "capture/CountPacket.h"
#include "capture/DumpPacket.h"
#include "capture/DumpRing.h"
#include "capture/PortTotals.h"
#include "capture/backend/PacketBytes.h"
#include "support/TextDevs.h"

namespace {

// A spread of datagrams so the branch predictor cannot learn one answer.
std::vector<std::array<std::uint8_t, 24>> MixedHeaders() {
  const std::uint8_t protocols[] = {6, 17, 1, 6, 17, 6, 47};
  const std::uint16_t ports[] = {80, 443, 53, 25, 110, 137, 1025, 23, 5353, 21};
  std::vector<std::array<std::uint8_t, 24>> headers;
  std::uint32_t seed = 1;
  for (int i = 0; i < 1024; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::array<std::uint8_t, 24> h{};
    h[0] = 0x45;
    h[2] = static_cast<std::uint8_t>((seed >> 8) & 0x05);
    h[3] = static_cast<std::uint8_t>(seed >> 16);
    h[9] = protocols[(seed >> 4) % std::size(protocols)];
    const auto sp = ports[(seed >> 12) % std::size(ports)];
    const auto dp = ports[(seed >> 20) % std::size(ports)];
    h[20] = static_cast<std::uint8_t>(sp >> 8);
    h[21] = static_cast<std::uint8_t>(sp);
    h[22] = static_cast<std::uint8_t>(dp >> 8);
    h[23] = static_cast<std::uint8_t>(dp);
    headers.push_back(h);
  }
  return headers;
}

void BM_ClassifyAndCount(benchmark::State& st) {
  static TXIoctl state;
  const auto headers = MixedHeaders();
  std::size_t i = 0;
  for (auto _ : st) {
    const auto& h = headers[i++ & 1023];
    std::memcpy(state.RecvBuffer.data(), h.data(), h.size());
    state.CurLength = IpTotalLength(TPacketView(h.data(), h.size()));
    CountPacket(state, static_cast<std::uint8_t>(i & 1));
    benchmark::DoNotOptimize(state.Counters);
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_ClassifyAndCount);

std::vector<std::uint8_t> Datagram1500() {
  std::vector<std::uint8_t> d(1500);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 7);
  d[0] = 0x45;
  d[2] = 0x05;
  d[3] = 0xDC;
  d[9] = 6;
  return d;
}

void BM_DumpToLinesDevice(benchmark::State& st) {
  TStringLineList lines;
  TTextChannel channel;
  channel.AssignLinesDevice(lines);
  channel.Rewrite();
  const auto d = Datagram1500();
  const TPacketView view(d.data(), d.size());
  int n = 0;
  for (auto _ : st) {
    DumpPacket(channel, view, 1500, 0);
    if (++n == 64) {  // keep the list from growing without end
      st.PauseTiming();
      channel.Rewrite();
      n = 0;
      st.ResumeTiming();
    }
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_DumpToLinesDevice);

void BM_DumpToNullDevice(benchmark::State& st) {
  TTextChannel channel;
  channel.AssignNullDevice();
  channel.Rewrite();
  const auto d = Datagram1500();
  const TPacketView view(d.data(), d.size());
  for (auto _ : st) {
    DumpPacket(channel, view, 1500, 0);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_DumpToNullDevice);

// What the capture thread pays per dumped datagram in debug mode: the clock
// and a copy into the hand-off ring (the formatter drains it meanwhile; its
// channel discards the text, so the ring seldom fills).
void BM_DumpHandOff(benchmark::State& st) {
  TTextChannel channel;
  channel.AssignNullDevice();
  channel.Rewrite();
  TDumpFormatter formatter(channel);
  auto d = Datagram1500();
  const auto size = static_cast<std::size_t>(st.range(0));
  d.resize(size);
  const TPacketView view(d.data(), d.size());
  for (auto _ : st) formatter.Dump(view, static_cast<std::int32_t>(size), 0);
  st.counters["skipped"] = static_cast<double>(formatter.Skipped());
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_DumpHandOff)->Arg(84)->Arg(1420);

// The capture thread's part alone, without a formatter competing for the
// ring: the clock and the copy, and on the same thread the pop that frees it.
void BM_DumpRingPushPop(benchmark::State& st) {
  TDumpRing ring;
  auto d = Datagram1500();
  const auto size = static_cast<std::size_t>(st.range(0));
  d.resize(size);
  TDumpEntry entry;
  for (auto _ : st) {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    ring.Push(static_cast<std::int32_t>(size), 0, clock, d.data(), static_cast<std::uint32_t>(size));
    if (ring.Front(entry)) ring.Pop();
  }
  st.counters["skipped"] = static_cast<double>(ring.Skipped());
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_DumpRingPushPop)->Arg(84)->Arg(1420);

// The same decision in normal mode: the null device is bound, nothing is
// copied or formatted.
void BM_DumpHandOffNormalMode(benchmark::State& st) {
  TTextChannel channel;
  channel.AssignNullDevice();
  channel.Rewrite();
  TDumpFormatter formatter(channel);
  const auto d = Datagram1500();
  const TPacketView view(d.data(), d.size());
  for (auto _ : st) {
    if (channel.WantsText()) formatter.Dump(view, 1500, 0);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_DumpHandOffNormalMode);

// A million distinct remote addresses in random order (a port scan or
// spoofed sources) folded into the address table as a report does it, then
// put in address order once: the whole cost, one iteration each. The
// endpoint's fixed-size summary takes the same records.
std::vector<PacketRecord> DistinctAddresses(std::size_t count) {
  std::vector<PacketRecord> records(count);
  std::mt19937 rng(16);
  for (std::size_t i = 0; i < count; ++i) {
    records[i].RemoteAddr = static_cast<std::uint32_t>(0x0A000000u + i);  // distinct, in no order once shuffled
    records[i].Direction = static_cast<std::uint8_t>(i & 1);
    records[i].Category = 16;
    records[i].Length = 60 + static_cast<std::int64_t>(i % 1400);
  }
  std::shuffle(records.begin(), records.end(), rng);
  return records;
}

void BM_FoldDistinctAddresses(benchmark::State& st) {
  const auto records = DistinctAddresses(static_cast<std::size_t>(st.range(0)));
  for (auto _ : st) {
    TAddrTotalsTable table;
    for (const auto& record : records) table.Fold(record);
    benchmark::DoNotOptimize(table.Row(0));
    st.PauseTiming();
    table.Clear();  // freeing is not part of the fold
    st.ResumeTiming();
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_FoldDistinctAddresses)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SummariseDistinctAddresses(benchmark::State& st) {
  const auto records = DistinctAddresses(static_cast<std::size_t>(st.range(0)));
  for (auto _ : st) {
    TAddrHeavyHitters summary(8 * 20);
    for (const auto& record : records) summary.Fold(record);
    benchmark::DoNotOptimize(summary.Top(20));
  }
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_SummariseDistinctAddresses)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A port scan: a million TCP and UDP datagrams, each between two random
// ports, folded into the port table with the system's service list. Most
// pairs are new, so the table fills at once and the rest go to "(other)";
// Arg 0 has every datagram on one of eight ports instead (steady traffic).
void BM_FoldPorts(benchmark::State& st) {
  std::vector<PacketRecord> records(1'000'000);
  std::mt19937 rng(26);
  for (auto& record : records) {
    record.Protocol = rng() & 1 ? 6 : 17;
    record.LocalPort = static_cast<std::uint16_t>(st.range(0) ? rng() : 40000 + (rng() & 7));
    record.RemotePort = static_cast<std::uint16_t>(st.range(0) ? rng() : 443);
    record.Direction = static_cast<std::uint8_t>(rng() & 1);
    record.Length = 60 + static_cast<std::int64_t>(rng() % 1400);
  }
  for (auto _ : st) {
    TPortTotalsTable table;
    for (const auto& record : records) table.Fold(record);
    benchmark::DoNotOptimize(table.Row(0));
  }
  st.SetItemsProcessed(st.iterations() * static_cast<std::int64_t>(records.size()));
}
BENCHMARK(BM_FoldPorts)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
