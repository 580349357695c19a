#include "headless/MetricsText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/Utf8Text.h"

namespace {

constexpr const char* DirectionNames[2] = {"sent", "received"};

std::string LowerTrimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Label values may hold any UTF-8 text; one that is not fails the whole
// scrape, so whatever came from outside is made valid and bounded first.
// Three characters need escaping.
void AppendLabelValue(std::string& out, std::string_view raw) {
  for (const char c : ValidUtf8(raw, "\uFFFD", MaxLabelValueBytes)) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
}

class TExposition {
 public:
  explicit TExposition(TExpositionFormat format) : Format(format) { Out.reserve(16384); }

  // A metric family. Counters are named with their _total in the text
  // format's TYPE line; OpenMetrics names the family without it.
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    const bool counter = type == "counter";
    const bool info = type == "info";
    std::string_view family = name;
    if (Format == TExpositionFormat::OpenMetrics) {
      if (counter && family.ends_with("_total")) family.remove_suffix(6);
      if (info && family.ends_with("_info")) family.remove_suffix(5);
    } else if (info) {
      type = "gauge";  // the text format has no info type
    }
    Out.append("# HELP ").append(family).append(" ").append(help).append("\n");
    Out.append("# TYPE ").append(family).append(" ").append(type).append("\n");
  }

  void Sample(std::string_view name, std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              std::int64_t value) {
    Head(name, labels);
    Out.append(std::to_string(value)).append("\n");
  }
  void Sample(std::string_view name, std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              double value) {
    Head(name, labels);
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", value);
    Out.append(text).append("\n");
  }

  std::string Finish() {
    if (Format == TExpositionFormat::OpenMetrics) Out.append("# EOF\n");
    return std::move(Out);
  }

 private:
  void Head(std::string_view name, std::initializer_list<std::pair<std::string_view, std::string_view>> labels) {
    Out.append(name);
    if (labels.size()) {
      Out += '{';
      bool first = true;
      for (const auto& [label, value] : labels) {
        if (!first) Out += ',';
        first = false;
        Out.append(label).append("=\"");
        AppendLabelValue(Out, value);
        Out += '"';
      }
      Out += '}';
    }
    Out += ' ';
  }

  TExpositionFormat Format;
  std::string Out;
};

std::int64_t Signed(std::uint64_t value) {
  return static_cast<std::int64_t>(std::min<std::uint64_t>(value, INT64_MAX));
}

}  // namespace

TExpositionFormat NegotiateFormat(std::string_view accept) {
  // The highest quality wins; OpenMetrics only when it is asked for by name.
  double openMetrics = 0, text = 0;
  while (!accept.empty()) {
    const auto comma = accept.find(',');
    std::string_view entry = accept.substr(0, comma);
    accept = comma == std::string_view::npos ? std::string_view() : accept.substr(comma + 1);
    const auto semicolon = entry.find(';');
    const std::string type = LowerTrimmed(entry.substr(0, semicolon));
    double quality = 1;
    std::string_view params = semicolon == std::string_view::npos ? std::string_view() : entry.substr(semicolon + 1);
    while (!params.empty()) {
      const auto next = params.find(';');
      const std::string param = LowerTrimmed(params.substr(0, next));
      params = next == std::string_view::npos ? std::string_view() : params.substr(next + 1);
      if (param.rfind("q=", 0) == 0) quality = std::clamp(std::strtod(param.c_str() + 2, nullptr), 0.0, 1.0);
    }
    if (type == "application/openmetrics-text")
      openMetrics = std::max(openMetrics, quality);
    else if (type == "text/plain" || type == "text/*" || type == "*/*")
      text = std::max(text, quality);
  }
  return openMetrics > 0 && openMetrics >= text ? TExpositionFormat::OpenMetrics : TExpositionFormat::Text;
}

std::string_view ContentType(TExpositionFormat format) {
  return format == TExpositionFormat::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                                  : "text/plain; version=0.0.4; charset=utf-8";
}

std::vector<AddrTotals> TopAddresses(const std::vector<AddrTotals>& rows, int top) {
  const auto limit = std::min(rows.size(), static_cast<std::size_t>(std::max(top, 0)));
  std::vector<const AddrTotals*> order;
  order.reserve(rows.size());
  for (const auto& row : rows) order.push_back(&row);
  // Rows come in address order, so a stable choice among equal totals is the
  // lower address.
  const auto more = [](const AddrTotals* a, const AddrTotals* b) {
    const auto ta = a->SentBytes + a->RecvBytes, tb = b->SentBytes + b->RecvBytes;
    if (ta != tb) return ta > tb;
    return TAddrTotalsTable::Compare(*a, *b) < 0;
  };
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(limit), order.end(), more);
  std::vector<AddrTotals> result;
  result.reserve(limit);
  for (std::size_t i = 0; i < limit; ++i) result.push_back(*order[i]);
  return result;
}

std::string WriteMetrics(const TFiguresSnapshot& f, const TMetricsContext& context, TExpositionFormat format) {
  TExposition e(format);
  const std::string_view adapter = context.Adapter;
  const auto perCategory = [&](std::string_view name, int kind, std::string_view help) {
    e.Family(name, "counter", help);
    for (std::size_t d = 0; d < 2; ++d)
      for (std::size_t c = 1; c < ServiceCategoryCount; ++c) {
        const auto [service, role] = CategoryLabels[c];
        const auto value = f.Counters[d][static_cast<std::size_t>(kind)][c];
        if (role.empty())
          e.Sample(name, {{"adapter", adapter}, {"direction", DirectionNames[d]}, {"service", service}}, value);
        else
          e.Sample(name, {{"adapter", adapter}, {"direction", DirectionNames[d]}, {"service", service}, {"role", role}},
                   value);
      }
  };
  perCategory("wirepeek_datagrams_total", KindPackets,
              "IPv4 datagrams the watched address sent or received, by service (dns, http, ftp, telnet, pop3, smtp "
              "and netbios by their well-known ports, with role server or client; icmp; other: all the rest).");
  perCategory("wirepeek_bytes_total", KindBytes,
              "IP bytes (total length, headers included) the watched address sent or received, by service as for "
              "wirepeek_datagrams_total.");
  e.Family("wirepeek_seen_datagrams_total", "counter",
           "IPv4 datagrams the capture saw on the interface, whether or not the watched address sent or received "
           "them.");
  e.Sample("wirepeek_seen_datagrams_total", {{"adapter", adapter}}, f.TotalPackets);
  e.Family("wirepeek_seen_bytes_total", "counter",
           "IP bytes (total length) of every IPv4 datagram the capture saw on the interface.");
  e.Sample("wirepeek_seen_bytes_total", {{"adapter", adapter}}, f.TotalBytes);
  e.Family("wirepeek_kernel_received_total", "counter",
           "Frames the kernel handed to the capture, of any protocol.");
  e.Sample("wirepeek_kernel_received_total", {{"adapter", adapter}}, Signed(f.Kernel.Received));
  e.Family("wirepeek_kernel_dropped_total", "counter",
           "Frames the kernel dropped because the capture fell behind; they are counted nowhere else.");
  e.Sample("wirepeek_kernel_dropped_total", {{"adapter", adapter}}, Signed(f.Kernel.Dropped));
  e.Family("wirepeek_remote_addresses", "gauge",
           "Distinct remote addresses the watched address exchanged datagrams with since the capture started.");
  // Every listed row is a seen address; a summary lists fewer than it saw.
  e.Sample("wirepeek_remote_addresses", {{"adapter", adapter}},
           std::max(f.RemoteAddresses, static_cast<std::int64_t>(f.Addresses.size())));
  e.Family("wirepeek_remote_bytes_total", "counter",
           "IP bytes the watched address sent to or received from one remote address; only the remote addresses "
           "with the most bytes (--top of them) have a series.");
  for (const AddrTotals& row : TopAddresses(f.Addresses, context.Top)) {
    const std::string remote = TAddrTotalsTable::AddressText(row.Addr);
    e.Sample("wirepeek_remote_bytes_total", {{"adapter", adapter}, {"remote", remote}, {"direction", "sent"}},
             row.SentBytes);
    e.Sample("wirepeek_remote_bytes_total", {{"adapter", adapter}, {"remote", remote}, {"direction", "received"}},
             row.RecvBytes);
  }
  if (f.HasPrograms) {
    e.Family("wirepeek_program_bytes_total", "counter",
             "IP bytes the programs of this host sent or received through the watched address; only the programs "
             "with the most bytes (--top of them) have a series. A program is its process name, or \"user NAME\" "
             "for a process of another user; \"(kernel / other)\" is traffic of no socket (ICMP and the like), "
             "\"(unknown)\" that of sockets gone before they could be looked up.");
    // Rows of one unnamed program split by unit are one series here.
    for (const ProgramTotals& row : TopPrograms(ByProgram(f.Programs), context.Top)) {
      e.Sample("wirepeek_program_bytes_total",
               {{"adapter", adapter}, {"program", row.Program}, {"user", row.User}, {"direction", "sent"}},
               row.SentBytes);
      e.Sample("wirepeek_program_bytes_total",
               {{"adapter", adapter}, {"program", row.Program}, {"user", row.User}, {"direction", "received"}},
               row.RecvBytes);
    }
  }
  if (f.HasPrograms) {
    e.Family("wirepeek_unit_bytes_total", "counter",
             "IP bytes the sockets made in one service unit or scope of this host sent or received through the "
             "watched address, known without any right; only the units with the most bytes (--top of them) have a "
             "series.");
    for (const ProgramTotals& unit : TopUnits(f.Programs, context.Top)) {
      e.Sample("wirepeek_unit_bytes_total", {{"adapter", adapter}, {"unit", unit.Program}, {"direction", "sent"}},
               unit.SentBytes);
      e.Sample("wirepeek_unit_bytes_total", {{"adapter", adapter}, {"unit", unit.Program}, {"direction", "received"}},
               unit.RecvBytes);
    }
  }
  e.Family("wirepeek_port_bytes_total", "counter",
           "IP bytes the watched address sent or received over TCP or UDP, by service port: the side whose port "
           "the system's service list names, the smaller port when both or neither are; service is that name. "
           "Only the ports with the most bytes (--top of them) have a series; ports beyond the table's rows are "
           "counted in service \"(other)\", with no proto or port.");
  for (const PortTotals& row : TopPorts(f.Ports, context.Top)) {
    const std::string proto(TransportName(row.Protocol)), port = row.Protocol ? std::to_string(row.Port) : "";
    const std::string_view service = row.Protocol ? std::string_view(row.Service) : OtherPorts;
    for (std::size_t d = 0; d < 2; ++d)
      e.Sample("wirepeek_port_bytes_total",
               {{"adapter", adapter}, {"proto", proto}, {"port", port}, {"service", service},
                {"direction", DirectionNames[d]}},
               d == 0 ? row.SentBytes : row.RecvBytes);
  }
  e.Family("wirepeek_capture_up", "gauge", "1 while the capture runs, 0 once it has ended.");
  e.Sample("wirepeek_capture_up", {{"adapter", adapter}}, std::int64_t{context.CaptureUp ? 1 : 0});
  e.Family("wirepeek_capture_start_time_seconds", "gauge", "Unix time the capture started.");
  e.Sample("wirepeek_capture_start_time_seconds", {{"adapter", adapter}}, context.StartTimeSeconds);
  e.Family("wirepeek_build_info", "info", "Always 1; the version label is the program's version.");
  e.Sample("wirepeek_build_info", {{"adapter", adapter}, {"version", context.Version}}, std::int64_t{1});
  // The exporter itself, under the names every exporter uses (no adapter:
  // they are the process's, not the capture's).
  if (const TProcessFigures& p = context.Process; p.Known) {
    e.Family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    e.Sample("process_cpu_seconds_total", {}, p.CpuSeconds);
    e.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    e.Sample("process_resident_memory_bytes", {}, p.ResidentBytes);
    e.Family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    e.Sample("process_virtual_memory_bytes", {}, p.VirtualBytes);
    e.Family("process_open_fds", "gauge", "Number of open file descriptors.");
    e.Sample("process_open_fds", {}, p.OpenFds);
    e.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
    e.Sample("process_max_fds", {}, p.MaxFds);
    e.Family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
    e.Sample("process_start_time_seconds", {}, p.StartTimeSeconds);
  }
  return e.Finish();
}
