// Cost of the main window's notification handler with both tables in use,
// and of folding a burst of records into the address table (offscreen).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHeaderView>
#include <QTemporaryDir>

#include "support/Settings.h"
#include "ui/main/Application.h"
#include "ui/main/MainUnit.h"

namespace {

TMainForm& Form() {
  static int argc = 1;
  static char name[] = "ui_bench";
  static char* argv[] = {name, nullptr};
  static TApplication application(argc, argv);
  static QTemporaryDir settings;
  static TMainForm* form = [] {
    GlobalSettings.IniPath = settings.filePath("wirepeek.ini").toStdString();
    auto* f = new TMainForm;
    f->show();
    f->FormActivate();
    f->cbProt_IPAdr->setChecked(true);
    return f;
  }();
  return *form;
}

PacketRecord Record(std::uint32_t host, std::uint8_t direction) {
  return {.RemoteAddr = htonl(host), .Direction = direction, .Category = 5, .Length = 1500,
          .Hour = 12, .Minute = 30, .Second = 15};
}

void Clear(TMainForm& form) {
  form.IPAdrModel().AboutToRestart();
  form.CaptureSession().Restart(false, 0);
  form.IPAdrModel().Restarted();
}

// One notification as a busy capture makes it: a datagram each way, with
// 5,000 addresses already in the table.
void BM_NotificationWithBothTables(benchmark::State& st) {
  TMainForm& form = Form();
  TXIoctl& s = *form.Monitor().Ioctl;
  Clear(form);
  for (std::uint32_t i = 0; i < 5000; ++i) s.RecordQueue.push_back(Record(0x0A000000 + i * 7, 1));
  form.WMCaptureNotify();
  std::uint32_t n = 0;
  for (auto _ : st) {
    s.Counters[0][KindBytes][0] += 1500;
    s.Counters[0][KindBytes][5] += 1500;
    s.RecordQueue.push_back(Record(0x0A000000 + (n % 5000) * 7, n & 1));
    ++n;
    form.WMCaptureNotify();
  }
  QCoreApplication::processEvents();
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()));
}
BENCHMARK(BM_NotificationWithBothTables)->Unit(benchmark::kMicrosecond);

// A resolver that answers at once, so that only the window's share of the
// look-ups is timed.
struct TInstantResolver final : TNameResolver {
  TNameAnswer Reverse(const TIpAddress&) override { return {TNameAnswer::TKind::NoName, "", 600}; }
};

// 10,000 records over 5,000 remote addresses, into an empty table; with the
// argument 1, each new address is also handed to the host name look-ups.
void BM_Drain10000Over5000Addresses(benchmark::State& st) {
  TMainForm& form = Form();
  TXIoctl& s = *form.Monitor().Ioctl;
  if (st.range(0)) form.CaptureSession().StartNames(std::make_shared<TInstantResolver>());
  for (auto _ : st) {
    st.PauseTiming();
    Clear(form);
    for (std::uint32_t i = 0; i < 10000; ++i) s.RecordQueue.push_back(Record(0xC0A80000 + (i * 2654435761u) % 5000, i & 1));
    st.ResumeTiming();
    form.IPAdrModel().BeginTake();
    form.CaptureSession().Take({}, &form.IPAdrModel());
    form.IPAdrModel().ShowChanged();
  }
  form.CaptureSession().StopNames();
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations()) * 10000);
}
BENCHMARK(BM_Drain10000Over5000Addresses)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// 100,000 addresses, the page sorted by bytes sent: a drawn refresh (the new
// figures, the rows in order again), and a second's rates of every row.
TMainForm& FullSortedPage() {
  TMainForm& form = Form();
  [[maybe_unused]] static const bool filled = [&form] {
    TXIoctl& s = *form.Monitor().Ioctl;
    Clear(form);
    for (std::uint32_t i = 0; i < 100000; ++i) s.RecordQueue.push_back(Record(0x0A000000 + i * 7, i & 1));
    form.WMCaptureNotify();
    form.pcSyukei->setCurrentWidget(form.tsIPAdr);
    form.lvIPAdr->header()->setSortIndicator(2, Qt::DescendingOrder);
    return true;
  }();
  return form;
}

void BM_SortedPageOf100000Addresses(benchmark::State& st) {
  TMainForm& form = FullSortedPage();
  TXIoctl& s = *form.Monitor().Ioctl;
  std::uint32_t n = 0;
  for (auto _ : st) {
    s.RecordQueue.push_back(Record(0x0A000000 + (n++ % 100000) * 7, 0));
    form.WMCaptureNotify();
  }
}
BENCHMARK(BM_SortedPageOf100000Addresses)->Unit(benchmark::kMillisecond);

void BM_ResortOf100000Addresses(benchmark::State& st) {
  TMainForm& form = FullSortedPage();
  auto* sorted = dynamic_cast<TSortedRows*>(form.lvIPAdr->model());
  for (auto _ : st) sorted->Resort(true);
}
BENCHMARK(BM_ResortOf100000Addresses)->Unit(benchmark::kMillisecond);

void BM_RatesOf100000Addresses(benchmark::State& st) {
  TMainForm& form = FullSortedPage();
  for (auto _ : st) form.IPAdrModel().SampleRates();
}
BENCHMARK(BM_RatesOf100000Addresses)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
