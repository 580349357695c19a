#include "report/Report.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <ostream>
#include <string_view>

#include <platform/Time.h>

std::string_view CategoryName(std::size_t category) {
  std::string_view name = ServiceCategoryNames.at(category);
  while (name.ends_with(' ')) name.remove_suffix(1);
  return name;
}

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

// Per category by name, for a script that selects one (jq:
// .categories[] | select(.name == "HTTP Client")); the arrays hold the same
// figures by position.
ordered_json Categories(const CategoryCounters& counters) {
  ordered_json list = ordered_json::array();
  for (std::size_t c = 1; c < ServiceCategoryCount; ++c) {
    ordered_json row = ordered_json::object();
    row["name"] = CategoryName(c);
    row["service"] = CategoryLabels[c].first;
    if (!CategoryLabels[c].second.empty()) row["role"] = CategoryLabels[c].second;
    row["sent_packets"] = counters[DirectionSent][KindPackets][c];
    row["sent_bytes"] = counters[DirectionSent][KindBytes][c];
    row["recv_packets"] = counters[DirectionReceived][KindPackets][c];
    row["recv_bytes"] = counters[DirectionReceived][KindBytes][c];
    list.push_back(std::move(row));
  }
  return list;
}

// Remote addresses seen but not among the rows: beyond the table's rows, or
// outside the endpoint's --top.
std::int64_t UnlistedAddresses(const TFiguresSnapshot& s) {
  return std::max<std::int64_t>(0, s.RemoteAddresses - static_cast<std::int64_t>(s.Addresses.size()));
}

TFiguresSnapshot SnapshotOf(const TReportFigures& f) {
  TFiguresSnapshot s;
  s.TotalPackets = f.State->TotalPackets;
  s.TotalBytes = f.State->TotalBytes;
  s.Counters = f.State->Counters;
  s.Kernel = f.Kernel;
  s.Addresses = f.Addresses->AllRows();
  if (f.HostName)
    for (const AddrTotals& row : s.Addresses) s.AddressNames.push_back(f.HostName(row.Addr));
  s.RemoteAddresses = f.Addresses->RowCount() + f.Addresses->Unlisted();
  if (f.Programs) {
    s.HasPrograms = true;
    s.Programs = f.Programs->AllRows();
  }
  if (f.Ports) s.Ports = f.Ports->AllRows();
  return s;
}

}  // namespace

void WriteFiguresText(const std::string& adapter, bool live, const TFiguresSnapshot& s, std::ostream& out) {
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
  if (const auto unlisted = UnlistedAddresses(s); unlisted > 0)
    out << unlisted << " more remote addresses were seen and are not listed\n";
  out << std::right;
}

namespace {

std::string UtcText(std::int64_t unixMillis) {
  const auto seconds = static_cast<std::time_t>(unixMillis / 1000);
  std::tm utc{};
  UtcCalendar(seconds, utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unixMillis % 1000));
  return text;
}

}  // namespace

namespace {

std::string Compact(const ordered_json& value) {
  // Texts that are not UTF-8 are written with replacement characters rather
  // than ending the program.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One JSON object written member by member, each member a value of the JSON
// library: a list of ten thousand address rows is written row by row, for a
// whole tree of them would cost ten times the memory of the text.
class TObjectText {
 public:
  void Member(std::string_view key, const ordered_json& value) {
    Key(key);
    Text += Compact(value);
  }
  template <typename TRows, typename TRowValue>
  void Array(std::string_view key, const TRows& rows, std::size_t bytesPerRow, TRowValue rowValue) {
    Key(key);
    Text.reserve(Text.size() + rows.size() * bytesPerRow + 4);
    Text += '[';
    bool first = true;
    for (const auto& row : rows) {
      if (!first) Text += ',';
      first = false;
      Text += Compact(rowValue(row));
    }
    Text += ']';
  }
  std::string Line() && {
    Text += Text.empty() ? "{}\n" : "}\n";
    return std::move(Text);
  }

 private:
  void Key(std::string_view key) {
    Text += Text.empty() ? '{' : ',';
    Text += Compact(ordered_json(key));
    Text += ':';
  }
  std::string Text;
};

// What an address row and a program row both end with.
void AddTotals(ordered_json& r, std::int64_t sent, std::int64_t received, std::uint8_t category,
               const AddrTotals& moment) {
  r["sent_bytes"] = sent;
  r["recv_bytes"] = received;
  r["last_category"] = CategoryName(category);
  r["last_time"] = TAddrTotalsTable::TimeText(moment);
  r["last_date_time"] = TAddrTotalsTable::DateTimeText(moment);
}

ordered_json AddressRow(const AddrTotals& row, const std::string& name) {
  ordered_json r = ordered_json::object();
  r["addr"] = TAddrTotalsTable::AddressText(row.Addr);
  AddTotals(r, row.SentBytes, row.RecvBytes, row.LastCategory, row);
  if (!name.empty()) r["name"] = name;
  return r;
}

ordered_json ProgramRow(const ProgramTotals& row) {
  AddrTotals moment;
  moment.LastTime = row.LastTime;
  moment.LastUnixSeconds = row.LastUnixSeconds;
  ordered_json r = ordered_json::object();
  r["program"] = row.Program;
  r["user"] = row.User;
  r["unit"] = row.Unit.empty() ? ordered_json() : ordered_json(row.Unit);
  AddTotals(r, row.SentBytes, row.RecvBytes, row.LastCategory, moment);
  return r;
}

// A port's row; the one of the ports beyond the table has neither transport
// nor port, and "(other)" for its service.
ordered_json PortRow(const PortTotals& row) {
  ordered_json r = ordered_json::object();
  const bool other = row.Protocol == 0;
  r["proto"] = other ? ordered_json() : ordered_json(TransportName(row.Protocol));
  r["port"] = other ? ordered_json() : ordered_json(row.Port);
  r["service"] = other ? ordered_json(OtherPorts) : row.Service.empty() ? ordered_json() : ordered_json(row.Service);
  r["sent_bytes"] = row.SentBytes;
  r["recv_bytes"] = row.RecvBytes;
  return r;
}

// The members every report object has, the address rows, (when traffic was
// put down to programs) the program rows and the port rows last.
TObjectText ReportObject(const std::string& adapter, bool live, const TFiguresSnapshot& s) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  TObjectText object;
  object.Member("schema", ReportSchema);
  object.Member("adapter", adapter);
  object.Member("time", UtcText(millis.count()));
  object.Member("start", s.StartUnixMillis > 0 ? ordered_json(UtcText(s.StartUnixMillis)) : ordered_json());
  object.Member("duration_seconds",
                s.DurationSeconds >= 0 ? ordered_json(std::round(s.DurationSeconds * 1000) / 1000) : ordered_json());
  object.Member("total_packets", s.TotalPackets);
  object.Member("total_bytes", s.TotalBytes);
  object.Member("sent", Direction(s.Counters, DirectionSent));
  object.Member("received", Direction(s.Counters, DirectionReceived));
  object.Member("categories", Categories(s.Counters));
  object.Member("kernel_received", live ? s.Kernel.Received : 0);
  object.Member("dropped", live ? s.Kernel.Dropped : 0);
  // A row is about 110 bytes, and its name when it has one.
  object.Array("addresses", s.Addresses, 112, [&s, row = std::size_t{0}](const AddrTotals& totals) mutable {
    static const std::string none;
    return AddressRow(totals, row < s.AddressNames.size() ? s.AddressNames[row++] : none);
  });
  if (const auto unlisted = UnlistedAddresses(s); unlisted > 0) object.Member("unlisted_addresses", unlisted);
  // Always a list, empty when no traffic was put down to programs.
  object.Array("programs", s.Programs, 160, ProgramRow);
  object.Array("ports", s.Ports, 80, PortRow);
  return object;
}

}  // namespace

std::string JsonLine(const ordered_json& value) { return Compact(value) + '\n'; }

std::string ReportJsonLine(const std::string& adapter, bool live, const TFiguresSnapshot& s) {
  return ReportObject(adapter, live, s).Line();
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
  // Bytes per second over the interval, in category order, to a tenth.
  const auto perSecond = [&](std::size_t direction) {
    ordered_json list = ordered_json::array();
    for (const auto bytes : delta[direction][KindBytes])
      list.push_back(intervalSeconds > 0 ? std::round(static_cast<double>(bytes) / intervalSeconds * 10) / 10 : 0.0);
    return list;
  };
  line["rate"] = {{"sent", perSecond(DirectionSent)}, {"received", perSecond(DirectionReceived)}};
  return line;
}

void WriteReportJson(const TReportFigures& f, std::ostream& out) {
  TObjectText object = ReportObject(f.Adapter, f.Live, SnapshotOf(f));
  // What the window adds follows the address rows.
  if (f.HasDumps) object.Member("dumps", {{"written", f.DumpsWritten}, {"skipped", f.DumpsSkipped}});
  if (f.Clicks > 0) {
    const auto tenth = [](double ms) { return std::round(ms * 10) / 10; };
    object.Member("clicks", {{"count", f.Clicks}, {"median_ms", tenth(f.ClickMedianMs)}, {"max_ms", tenth(f.ClickMaxMs)}});
  }
  out << std::move(object).Line();
}

void WriteReportText(const TReportFigures& f, std::ostream& out) { WriteFiguresText(f.Adapter, f.Live, SnapshotOf(f), out); }
