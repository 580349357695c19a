#include "capture/HeadlessReport.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iomanip>
#include <ostream>

#include "capture/HostAddresses.h"
#include "capture/NotifyTargets.h"

namespace {

volatile std::sig_atomic_t StopRequested = 0;

void OnStopSignal(int) { StopRequested = 1; }

struct TOptions {
  std::string Adapter;
  std::string File;
  long Seconds = -1;
  bool Json = false;
};

const char* const Usage = "usage: wirepeek --report --adapter ADDR (--read FILE | --seconds N) [--json]";

bool ParseOptions(const std::vector<std::string>& args, TOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    std::string text;
    if (a == "--report") continue;
    if (a == "--json") {
      options.Json = true;
    } else if (a == "--adapter") {
      if (!value(options.Adapter)) return false;
    } else if (a == "--read") {
      if (!value(options.File)) return false;
    } else if (a == "--seconds") {
      if (!value(text)) return false;
      char* end = nullptr;
      options.Seconds = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end || options.Seconds < 0 || options.Seconds > 31'536'000) {
        error = "--seconds needs a whole number of seconds, not '" + text + "'";
        return false;
      }
    } else {
      error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (options.Adapter.empty()) {
    error = "--adapter is missing";
    return false;
  }
  if (options.File.empty() == (options.Seconds < 0)) {
    error = "give either --read FILE or --seconds N";
    return false;
  }
  return true;
}

void JsonArray(std::ostream& out, const std::array<std::int64_t, ServiceCategoryCount>& values) {
  out << '[';
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? "," : "") << values[i];
  out << ']';
}

// Category names are plain ASCII, but escape anyway: this is an interface.
void JsonString(std::ostream& out, std::string_view text) {
  out << '"';
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out << escaped;
    } else {
      out << c;
    }
  }
  out << '"';
}

}  // namespace

bool WantsHeadlessReport(const std::vector<std::string>& Args) {
  for (const auto& a : Args)
    if (a == "--report") return true;
  return false;
}

void WriteReportJson(const TReportFigures& f, std::ostream& out) {
  const TXIoctl& s = *f.State;
  out << "{\"adapter\":";
  JsonString(out, f.Adapter);
  out << ",\"total_packets\":" << s.TotalPackets << ",\"total_bytes\":" << s.TotalBytes;
  const char* names[2] = {"sent", "received"};
  for (std::size_t d = 0; d < 2; ++d) {
    out << ",\"" << names[d] << "\":{\"packets\":";
    JsonArray(out, s.Counters[d][KindPackets]);
    out << ",\"bytes\":";
    JsonArray(out, s.Counters[d][KindBytes]);
    out << '}';
  }
  out << ",\"dropped\":" << (f.Live ? f.Kernel.Dropped : 0) << ",\"addresses\":[";
  for (int i = 0; i < f.Addresses->RowCount(); ++i) {
    const AddrTotals& row = f.Addresses->Row(i);
    out << (i ? "," : "") << "{\"addr\":";
    JsonString(out, TAddrTotalsTable::AddressText(row.Addr));
    out << ",\"sent_bytes\":" << row.SentBytes << ",\"recv_bytes\":" << row.RecvBytes << ",\"last_category\":";
    JsonString(out, ServiceCategoryNames[row.LastCategory]);
    out << ",\"last_time\":";
    JsonString(out, TAddrTotalsTable::TimeText(row));
    out << '}';
  }
  out << ']';
  if (f.HasDumps) out << ",\"dumps\":{\"written\":" << f.DumpsWritten << ",\"skipped\":" << f.DumpsSkipped << '}';
  if (f.Clicks > 0) {
    char times[80];
    std::snprintf(times, sizeof times, "\"median_ms\":%.1f,\"max_ms\":%.1f", f.ClickMedianMs, f.ClickMaxMs);
    out << ",\"clicks\":{\"count\":" << f.Clicks << ',' << times << '}';
  }
  out << "}\n";
}

void WriteReportText(const TReportFigures& f, std::ostream& out) {
  const TXIoctl& s = *f.State;
  out << "Adapter        " << f.Adapter << '\n'
      << "Total packets  " << s.TotalPackets << '\n'
      << "Total bytes    " << s.TotalBytes << '\n';
  if (f.Live) out << "Kernel         received " << f.Kernel.Received << ", dropped " << f.Kernel.Dropped << '\n';
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
  for (int i = 0; i < f.Addresses->RowCount(); ++i) {
    const AddrTotals& row = f.Addresses->Row(i);
    out << std::left << std::setw(16) << TAddrTotalsTable::AddressText(row.Addr) << std::right << std::setw(16)
        << row.SentBytes << std::setw(16) << row.RecvBytes << "  " << std::left << std::setw(16)
        << ServiceCategoryNames[row.LastCategory] << TAddrTotalsTable::TimeText(row) << '\n';
  }
  out << std::right;
}

int RunHeadlessReport(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  TOptions options;
  std::string error;
  if (!ParseOptions(Args, options, error)) {
    Err << "wirepeek: " << error << '\n' << Usage << '\n';
    return 2;
  }
  in_addr parsed{};
  if (inet_pton(AF_INET, options.Adapter.c_str(), &parsed) != 1) {
    Err << "wirepeek: '" << options.Adapter << "' is not an IPv4 address\n";
    return 1;
  }
  SetErrorBoxSink([&Err](std::string_view text) {
    Err << "wirepeek: " << text << '\n';
    return 1;
  });
  SetReasonSink([&Err](std::string_view line) { Err << "wirepeek: " << line << '\n'; });
  struct TSinkReset {
    ~TSinkReset() {
      SetErrorBoxSink(nullptr);
      SetReasonSink(nullptr);
    }
  } sinkReset;

  TIPMonitor monitor;
  TXIoctl& state = *monitor.Ioctl;
  const bool live = options.File.empty();
  if (live) {
    // Any address of this host will do; the window's limit of ten listed
    // addresses does not apply to a capture asked for by address.
    std::vector<THostAddress> host;
    SystemIpv4Addresses(host);
    if (InterfaceOwning(host, parsed.s_addr).empty()) {
      Err << "wirepeek: " << options.Adapter << " is not an address of this host; its addresses are:";
      for (const auto address : CaptureAddresses(host)) Err << ' ' << TAddrTotalsTable::AddressText(address);
      Err << '\n';
      return 1;
    }
  } else {
    state.CaptureFile = options.File;
  }
  state.Adapters[1] = parsed.s_addr;
  state.AdapterCount = 1;
  state.SelectedAdapter = 1;

  TAddrTotalsTable addresses;
  TDirectNotifyTarget target([&] { addresses.Drain(state); });
  state.NotifyWindow = &target;
  if (monitor.CaptureStart() < 0) return 1;

  StopRequested = 0;
  auto* previousInt = std::signal(SIGINT, OnStopSignal);
  auto* previousTerm = std::signal(SIGTERM, OnStopSignal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(live ? options.Seconds : 0);
  while (!StopRequested && (!live || std::chrono::steady_clock::now() < deadline)) {
    if (state.StopEvent.WaitFor(std::chrono::milliseconds(50)) == TManualResetEvent::TWaitResult::Signaled) break;
  }
  const bool ended = state.StopEvent.IsSet() && !StopRequested;
  const int exitCode = ended ? monitor.Thread->ExitCode() : 0;
  monitor.CaptureEnd();
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
  addresses.Drain(state);  // records of a last group, if any

  TReportFigures figures;
  figures.Adapter = options.Adapter;
  figures.State = &state;
  figures.Addresses = &addresses;
  figures.Live = live;
  figures.Kernel = state.CaptureSocket ? state.CaptureSocket->Statistics() : TCaptureStats{};
  if (options.Json)
    WriteReportJson(figures, Out);
  else
    WriteReportText(figures, Out);
  Out.flush();
  // The capture ended by itself with a failed receive: a broken file, or an
  // interface that went away. The figures above cover what was read.
  if (ended && exitCode == 2) {
    const std::string reason = state.CaptureSocket ? state.CaptureSocket->LastError() : std::string();
    Err << "wirepeek: the capture ended early" << (reason.empty() ? "" : ": " + reason) << '\n';
    return 1;
  }
  return 0;
}
