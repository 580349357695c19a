#include "headless/HeadlessReport.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <ostream>

#include "headless/CommandLine.h"
#include "headless/HeadlessCapture.h"
#include "headless/ProgramsJson.h"

namespace {

using nlohmann::ordered_json;

ordered_json Numbers(const std::array<std::int64_t, ServiceCategoryCount>& values) {
  ordered_json list = ordered_json::array();
  for (const auto v : values) list.push_back(v);
  return list;
}

// {"packets":[17],"bytes":[17]} of one direction.
ordered_json Direction(const CategoryCounters& counters, std::size_t direction) {
  ordered_json d = ordered_json::object();
  d["packets"] = Numbers(counters[direction][KindPackets]);
  d["bytes"] = Numbers(counters[direction][KindBytes]);
  return d;
}

TFiguresSnapshot SnapshotOf(const TReportFigures& f) {
  TFiguresSnapshot s;
  s.TotalPackets = f.State->TotalPackets;
  s.TotalBytes = f.State->TotalBytes;
  s.Counters = f.State->Counters;
  s.Kernel = f.Kernel;
  s.Addresses = f.Addresses->AllRows();
  s.RemoteAddresses = f.Addresses->RowCount() + f.Addresses->Unlisted();
  if (f.Programs) {
    s.HasPrograms = true;
    s.Programs = f.Programs->AllRows();
  }
  return s;
}

void WriteText(const std::string& adapter, bool live, const TFiguresSnapshot& s, std::ostream& out) {
  out << "Adapter        " << adapter << '\n'
      << "Total packets  " << s.TotalPackets << '\n'
      << "Total bytes    " << s.TotalBytes << '\n';
  if (live) out << "Kernel         received " << s.Kernel.Received << ", dropped " << s.Kernel.Dropped << '\n';
  out << '\n'
      << std::left << std::setw(16) << "Category" << std::right << std::setw(14) << "Sent packets" << std::setw(16)
      << "Sent bytes" << std::setw(14) << "Recv packets" << std::setw(16) << "Recv bytes" << '\n';
  for (std::size_t c = 0; c < ServiceCategoryCount; ++c) {
    out << std::left << std::setw(16) << ServiceCategoryNames[c] << std::right << std::setw(14)
        << s.Counters[0][KindPackets][c] << std::setw(16) << s.Counters[0][KindBytes][c] << std::setw(14)
        << s.Counters[1][KindPackets][c] << std::setw(16) << s.Counters[1][KindBytes][c] << '\n';
  }
  out << '\n'
      << std::left << std::setw(16) << "Address" << std::right << std::setw(16) << "Sent bytes" << std::setw(16)
      << "Recv bytes" << "  " << std::left << std::setw(16) << "Last category" << "Last time" << '\n';
  for (const AddrTotals& row : s.Addresses) {
    out << std::left << std::setw(16) << TAddrTotalsTable::AddressText(row.Addr) << std::right << std::setw(16)
        << row.SentBytes << std::setw(16) << row.RecvBytes << "  " << std::left << std::setw(16)
        << ServiceCategoryNames[row.LastCategory] << TAddrTotalsTable::TimeText(row) << '\n';
  }
  out << std::right;
}

std::string UtcText(std::int64_t unixMillis) {
  const auto seconds = static_cast<std::time_t>(unixMillis / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unixMillis % 1000));
  return text;
}

}  // namespace

std::string JsonLine(const ordered_json& value) {
  // Texts that are not UTF-8 are written with replacement characters rather
  // than ending the program.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

std::string ReportJsonLine(const std::string& adapter, bool live, const TFiguresSnapshot& s) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  ordered_json head = ordered_json::object();
  head["adapter"] = adapter;
  head["time"] = UtcText(millis.count());
  head["total_packets"] = s.TotalPackets;
  head["total_bytes"] = s.TotalBytes;
  head["sent"] = Direction(s.Counters, DirectionSent);
  head["received"] = Direction(s.Counters, DirectionReceived);
  head["kernel_received"] = live ? s.Kernel.Received : 0;
  head["dropped"] = live ? s.Kernel.Dropped : 0;
  // The address rows, the last member, are written one at a time: a whole
  // tree of ten thousand rows would cost ten times the memory of the text.
  std::string line = JsonLine(head);
  line.resize(line.size() - 2);  // "}\n"
  line += R"(,"addresses":[)";
  line.reserve(line.size() + s.Addresses.size() * 112 + 4);  // a row is about 110 bytes
  bool first = true;
  for (const AddrTotals& row : s.Addresses) {
    ordered_json r = ordered_json::object();
    r["addr"] = TAddrTotalsTable::AddressText(row.Addr);
    r["sent_bytes"] = row.SentBytes;
    r["recv_bytes"] = row.RecvBytes;
    r["last_category"] = ServiceCategoryNames[row.LastCategory];
    r["last_time"] = TAddrTotalsTable::TimeText(row);
    r["last_date_time"] = TAddrTotalsTable::DateTimeText(row);
    if (!first) line += ',';
    first = false;
    line += r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  line += ']';
  if (s.HasPrograms) line += ',' + ProgramsJson(s.Programs);
  line += "}\n";
  return line;
}

ordered_json IntervalJson(const std::string& adapter, const TFiguresSnapshot& now, const TFiguresSnapshot& previous,
                          double intervalSeconds, std::int64_t unixMillis) {
  CategoryCounters delta{};
  for (std::size_t d = 0; d < 2; ++d)
    for (std::size_t k = 0; k < 2; ++k)
      for (std::size_t c = 0; c < ServiceCategoryCount; ++c)
        delta[d][k][c] = now.Counters[d][k][c] - previous.Counters[d][k][c];
  ordered_json line = ordered_json::object();
  line["adapter"] = adapter;
  line["time"] = UtcText(unixMillis);
  line["total_packets"] = now.TotalPackets;
  line["total_bytes"] = now.TotalBytes;
  line["sent"] = Direction(now.Counters, DirectionSent);
  line["received"] = Direction(now.Counters, DirectionReceived);
  line["kernel_received"] = now.Kernel.Received;
  line["dropped"] = now.Kernel.Dropped;
  ordered_json interval = ordered_json::object();
  interval["seconds"] = intervalSeconds;
  interval["total_packets"] = now.TotalPackets - previous.TotalPackets;
  interval["total_bytes"] = now.TotalBytes - previous.TotalBytes;
  interval["sent"] = Direction(delta, DirectionSent);
  interval["received"] = Direction(delta, DirectionReceived);
  interval["dropped"] = now.Kernel.Dropped - std::min(now.Kernel.Dropped, previous.Kernel.Dropped);
  line["interval"] = std::move(interval);
  return line;
}

void WriteReportJson(const TReportFigures& f, std::ostream& out) {
  std::string line = ReportJsonLine(f.Adapter, f.Live, SnapshotOf(f));
  ordered_json extra = ordered_json::object();
  if (f.HasDumps) extra["dumps"] = {{"written", f.DumpsWritten}, {"skipped", f.DumpsSkipped}};
  if (f.Clicks > 0) {
    const auto tenth = [](double ms) { return std::round(ms * 10) / 10; };
    extra["clicks"] = {{"count", f.Clicks}, {"median_ms", tenth(f.ClickMedianMs)}, {"max_ms", tenth(f.ClickMaxMs)}};
  }
  if (!extra.empty()) {
    // The extra members follow the address rows, inside the same object.
    const std::string more = JsonLine(extra);
    line.resize(line.size() - 2);  // "}\n"
    line += ',' + more.substr(1);
  }
  out << line;
}

void WriteReportText(const TReportFigures& f, std::ostream& out) { WriteText(f.Adapter, f.Live, SnapshotOf(f), out); }

int RunHeadlessReport(const TLongOptions& options, std::ostream& out, std::ostream& err) {
  THeadlessCapture capture;
  capture.ProgramsFromStart = options.Programs;
  if (!capture.Start(options.Adapter, options.File, err)) return 1;

  TFiguresSnapshot previous;
  auto previousTime = std::chrono::steady_clock::now();
  const auto tick = [&] {
    const auto now = std::chrono::steady_clock::now();
    TFiguresSnapshot figures = capture.Figures().Snapshot(false);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    out << JsonLine(IntervalJson(options.Adapter, figures, previous,
                                 std::chrono::duration<double>(now - previousTime).count(), millis.count()));
    // Each line reaches a pipe or a log shipper as soon as it is written.
    out.flush();
    previous = std::move(figures);
    previousTime = now;
  };
  capture.Wait(options.Seconds, std::chrono::seconds(options.Every), tick);
  const int code = capture.End(err);

  const TFiguresSnapshot figures = capture.Final();
  // A file that never names the address gives all zeros, which looks like a
  // quiet address rather than a wrong one.
  if (!capture.Live() && figures.Counters[DirectionSent][KindPackets][0] == 0 &&
      figures.Counters[DirectionReceived][KindPackets][0] == 0)
    err << "wirepeek: warning: none of the " << figures.TotalPackets << " datagrams in " << options.File
        << " was sent or received by " << options.Adapter << '\n';
  if (options.Json)
    out << ReportJsonLine(options.Adapter, capture.Live(), figures);
  else
    WriteText(options.Adapter, capture.Live(), figures, out);
  out.flush();
  return code;
}
