// The cost of one scrape of the metrics endpoint with many remote addresses in
// the tables: the copy taken under the capture's lock, the exposition, the
// report object, and a whole HTTP exchange on loopback; and the capture
// thread's cost of publishing one notification while the table is large.
// Memory is measured by counting the heap bytes a scrape holds at its peak.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "headless/HeadlessCapture.h"
#include "headless/MetricsServe.h"
#include "headless/MetricsText.h"

namespace {

std::atomic<long long> HeapNow{0}, HeapPeak{0};

void Track(long long delta) {
  const long long now = HeapNow.fetch_add(delta) + delta;
  long long peak = HeapPeak.load();
  while (now > peak && !HeapPeak.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

// Every allocation of this program carries its size in front, so the live heap
// can be followed.
void* operator new(std::size_t size) {
  auto* block = static_cast<std::size_t*>(std::malloc(size + 16));
  if (!block) throw std::bad_alloc();
  *block = size;
  Track(static_cast<long long>(size));
  return reinterpret_cast<char*>(block) + 16;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(p) - 16);
  Track(-static_cast<long long>(*block));
  std::free(block);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Published figures with Count remote addresses, as the capture thread leaves
// them for the endpoint (its summary of the --top 20 busiest).
struct TTables {
  explicit TTables(int count) {
    Live.UseSummary(20);
    TXIoctl& state = Live.State();
    for (int i = 0; i < count; ++i) {
      PacketRecord record;
      record.RemoteAddr = htonl(0xC6120000u + static_cast<std::uint32_t>(i));  // 198.18.0.0 onwards
      record.Direction = static_cast<std::uint8_t>(i % 2);
      record.Category = static_cast<std::uint8_t>(1 + i % 16);
      record.Length = 64 + i % 1400;
      state.RecordQueue.push_back(record);
      state.Counters[record.Direction][KindPackets][record.Category] += 1;
      state.Counters[record.Direction][KindBytes][record.Category] += record.Length;
    }
    Live.Take({static_cast<std::uint64_t>(count), 0});
  }
  TCaptureSession Live;
};

TMetricsContext Context() {
  TMetricsContext c;
  c.CaptureUp = true;
  c.Version = "1.0.0.0";
  c.Adapter = "203.0.113.1";
  c.Top = 20;
  return c;
}

void MeasurePeak(benchmark::State& state, const std::function<void()>& scrape) {
  const long long before = HeapNow.load();
  HeapPeak.store(before);
  scrape();
  state.counters["peak_heap_KiB"] = static_cast<double>(HeapPeak.load() - before) / 1024.0;
}

void BM_Snapshot(benchmark::State& state) {
  const TTables tables(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tables.Live.Snapshot(true));
}
BENCHMARK(BM_Snapshot)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_MetricsText(benchmark::State& state) {
  const TTables tables(static_cast<int>(state.range(0)));
  const auto format = state.range(1) ? TExpositionFormat::OpenMetrics : TExpositionFormat::Text;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = WriteMetrics(tables.Live.Snapshot(true), Context(), format);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
  MeasurePeak(state, [&] { WriteMetrics(tables.Live.Snapshot(true), Context(), format); });
}
BENCHMARK(BM_MetricsText)->Args({100, 0})->Args({10000, 0})->Args({10000, 1})->Unit(benchmark::kMicrosecond);

void BM_ReportJson(benchmark::State& state) {
  const TTables tables(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = ReportJsonLine("203.0.113.1", true, tables.Live.Snapshot(true));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
  MeasurePeak(state, [&] { ReportJsonLine("203.0.113.1", true, tables.Live.Snapshot(true)); });
}
BENCHMARK(BM_ReportJson)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A whole scrape: connect, request, the answer read to its end.
std::size_t Scrape(int port, const char* path) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::size_t total = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    const std::string request =
        std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) total += static_cast<std::size_t>(n);
    }
  }
  close(fd);
  return total;
}

// Serves Tables on a free loopback port; false (the benchmark skipped) when
// it cannot listen.
bool ServeTables(TMetricsServer& server, const TTables& tables, benchmark::State& state) {
  TMetricsServer::TSources sources;
  sources.Metrics = [&tables](TExpositionFormat format) {
    return WriteMetrics(tables.Live.Snapshot(true), Context(), format);
  };
  sources.ReportJson = [&tables] { return ReportJsonLine("203.0.113.1", true, tables.Live.Snapshot(true)); };
  std::string error;
  if (server.Start("127.0.0.1", 0, sources, error)) return true;
  state.SkipWithError(error.c_str());
  return false;
}

void BM_HttpScrape(benchmark::State& state) {
  const TTables tables(static_cast<int>(state.range(0)));
  const char* path = state.range(1) ? "/report.json" : "/metrics";
  TMetricsServer server;
  if (!ServeTables(server, tables, state)) return;
  std::size_t bytes = 0;
  for (auto _ : state) bytes = Scrape(server.Port(), path);
  state.counters["answer_bytes"] = static_cast<double>(bytes);
  server.Stop();
}
BENCHMARK(BM_HttpScrape)->Args({100, 0})->Args({10000, 0})->Args({10000, 1})->Unit(benchmark::kMillisecond);

// A scrape while Count clients hold a connection each with half a request
// sent, as slow or hostile clients do until the request timeout.
void BM_ScrapeBesideHalfSentRequests(benchmark::State& state) {
  const TTables tables(100);
  TMetricsServer server;
  if (!ServeTables(server, tables, state)) return;
  std::vector<int> held;
  for (int i = 0; i < state.range(0); ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(server.Port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
      send(fd, "GET /metrics HTTP/1.1\r\nHost:", 28, MSG_NOSIGNAL);
    held.push_back(fd);
  }
  usleep(200'000);  // each taken up by a worker
  std::size_t bytes = 0;
  for (auto _ : state) bytes = Scrape(server.Port(), "/metrics");
  state.counters["answer_bytes"] = static_cast<double>(bytes);
  for (const int fd : held) close(fd);
  server.Stop();
}
// Fewer iterations than the request timeout (2 s) would need to free a worker.
BENCHMARK(BM_ScrapeBesideHalfSentRequests)->Arg(8)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond);

// The capture thread's side: one notification with one new record, the table
// already large, against the same with nothing to fold.
void BM_PublishOneRecord(benchmark::State& state) {
  TTables tables(static_cast<int>(state.range(0)));
  TXIoctl& capture = tables.Live.State();
  std::uint32_t next = 0;
  for (auto _ : state) {
    PacketRecord record;
    record.RemoteAddr = htonl(0xC6120000u + (next++ % 10000u));  // existing rows
    record.Length = 100;
    capture.RecordQueue.push_back(record);
    tables.Live.Take({});
  }
}
BENCHMARK(BM_PublishOneRecord)->Arg(100)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
