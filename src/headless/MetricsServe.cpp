#include "headless/MetricsServe.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <tuple>

#include "capture/backend/DropRights.h"
#include "capture/backend/HostAddresses.h"
#include "support/ProgramOptions.h"
#include "headless/HeadlessCapture.h"
#include "headless/Unprivileged.h"
#include "support/FaultInjection.h"
#include "support/VersionInfo.h"
#include "support/WorkerGuard.h"

namespace {

// civetweb reports why it cannot listen only through its log; Start collects
// those lines on its own thread.
thread_local std::string* StartLog = nullptr;

int OnLogMessage(const mg_connection*, const char* message) {
  if (StartLog) {
    if (!StartLog->empty()) *StartLog += "; ";
    *StartLog += message;
  }
  return 1;  // nothing on standard error: a misbehaving client is not news
}

// The library dates its headers with gmtime(), whose one buffer two workers
// would share; the headers are therefore sent one answer at a time (bodies
// are not).
std::mutex HeaderMutex;

void Reply(mg_connection* connection, int status, std::string_view contentType, const std::string& body,
           bool head, const char* allow = nullptr, const char* authenticate = nullptr) {
  std::unique_lock headers(HeaderMutex);
  mg_response_header_start(connection, status);
  mg_response_header_add(connection, "Content-Type", contentType.data(), static_cast<int>(contentType.size()));
  const std::string length = std::to_string(body.size());
  mg_response_header_add(connection, "Content-Length", length.c_str(), -1);
  mg_response_header_add(connection, "Cache-Control", "no-store", -1);
  if (allow) mg_response_header_add(connection, "Allow", allow, -1);
  if (authenticate) mg_response_header_add(connection, "WWW-Authenticate", authenticate, -1);
  mg_response_header_send(connection);
  headers.unlock();
  if (!head && !body.empty()) mg_write(connection, body.data(), body.size());
}

// Why address:port cannot be listened on, as the system says it, or empty.
std::string BindFailure(const std::string& address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string reason;
  if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) == 1 &&
      bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
    reason = std::strerror(errno);
  close(fd);
  return reason;
}

// What a browser pointed at the endpoint shows.
const std::string LandingPage =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>Wirepeek</title></head>\n<body>\n"
    "<h1>Wirepeek</h1>\n<ul>\n"
    "<li><a href=\"/metrics\">/metrics</a>: the figures for Prometheus</li>\n"
    "<li><a href=\"/report.json\">/report.json</a>: the report as JSON</li>\n"
    "</ul>\n</body>\n</html>\n";

}  // namespace

TMetricsServer::~TMetricsServer() { Stop(); }

bool TMetricsServer::Start(const std::string& address, int port, TSources sources, std::string& error) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mg_init_library(0); });
  Sources = std::move(sources);
  ListenAddress = address;
  const std::string listen = address + ":" + std::to_string(port);
  // One connection, one request: a scraper comes back every few seconds at
  // most, and a kept-alive connection would hold a worker meanwhile. Slow
  // and idle clients are cut off after the request timeout. A client that
  // sends its request slowly holds a worker until then, so there are enough
  // workers for a hundred of them and a scrape besides; an idle worker costs
  // only its stack.
  const char* options[] = {"listening_ports", listen.c_str(),
                           "num_threads", "128",
                           "connection_queue", "256",
                           "listen_backlog", "256",
                           "request_timeout_ms", "2000",
                           "enable_keep_alive", "no",
                           "max_request_size", "8192",
                           "tcp_nodelay", "1",
                           "enable_directory_listing", "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = OnLogMessage;
  // Every thread of the server's gets what surviving a fault takes.
  callbacks.init_thread = [](const mg_context*, int) -> void* {
    (void)RunWorker([] {});
    return nullptr;
  };
  mg_init_data init{&callbacks, this, options};
  char text[256] = {};
  unsigned code = 0;
  mg_error_data failure{&code, text, sizeof text};
  std::string log;
  StartLog = &log;
  Context = mg_start2(&init, &failure);
  StartLog = nullptr;
  if (!Context) {
    // The library's own words repeat the address and add its internals; the
    // system's reason, where a bind of our own finds one, says it all.
    const std::string reason = BindFailure(address, port);
    error = "cannot listen on " + listen + ": " + (!reason.empty() ? reason : log.empty() ? std::string(text) : log);
    return false;
  }
  mg_server_port ports[2] = {};
  if (mg_get_server_ports(Context, 2, ports) >= 1) BoundPort = ports[0].port;
  mg_set_request_handler(Context, "/", &TMetricsServer::OnRequest, this);
  return true;
}

void TMetricsServer::Stop() {
  if (!Context) return;
  // The library's listening thread sees the stop only when its wait for a
  // connection ends, which takes up to two seconds on a quiet port; a
  // connection of our own ends it at once.
  std::atomic<bool> stopped{false};
  const auto poke = [&] {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(BoundPort));
    if (inet_pton(AF_INET, ListenAddress.c_str(), &at.sin_addr) != 1 || at.sin_addr.s_addr == INADDR_ANY)
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100 && !stopped.load(); ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0) {
        connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  // A thread of ours, readied for faults like every other.
  std::thread wake([&] { (void)RunWorker(poke); });
  mg_stop(Context);
  stopped.store(true);
  wake.join();
  Context = nullptr;
}

// A server worker thread.
int TMetricsServer::OnRequest(mg_connection* connection, void* self) {
  try {
    int status = 500;
    // A fault while answering ends this request with a failure, not the
    // endpoint.
    if (RunWorker([&] {
          FaultPoint(TFaultPoint::MetricsRequest);
          status = static_cast<TMetricsServer*>(self)->Answer(connection);
        }))
      return status;
    Reply(connection, 500, "text/plain; charset=utf-8", "internal error\n", false);
    return 500;
  } catch (...) {
    // No exception may unwind through the library's C frames.
    Reply(connection, 500, "text/plain; charset=utf-8", "internal error\n", false);
    return 500;
  }
}

bool TMetricsServer::LoopbackListener() const {
  in_addr parsed{};
  return inet_pton(AF_INET, ListenAddress.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

// Any thread.
bool TMetricsServer::HostAllowed(std::string_view host) const {
  // "name", "name:port", "[v6]:port"; names are case-blind, and a final dot
  // names the same host.
  // Only a loopback listener needs the check: a browser page can reach it
  // under a name of its own (DNS rebinding) and read what no one else could.
  // An address other hosts reach answers them all anyway, and a scraper names
  // the host as it knows it; the administrator may still narrow it down.
  if (!LoopbackListener() && AllowedHosts.empty()) return true;
  if (host.empty() || host.front() == '[') return false;
  const auto colon = host.rfind(':');
  if (colon != std::string_view::npos) host = host.substr(0, colon);
  std::string name(host);
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name == "localhost" || name == ListenAddress) return true;
  for (const auto& allowed : AllowedHosts) {
    std::string lower = allowed;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == name) return true;
  }
  // Served on every address: any address of this host is the endpoint's.
  in_addr parsed{};
  if (ListenAddress != "0.0.0.0" || inet_pton(AF_INET, name.c_str(), &parsed) != 1) return false;
  std::vector<THostAddress> addresses;
  SystemIpAddresses(addresses);
  return std::any_of(addresses.begin(), addresses.end(),
                     [&](const THostAddress& a) { return a.Addr == parsed.s_addr; });
}

// A server worker thread.
int TMetricsServer::Answer(mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  const std::string_view method = request->request_method ? request->request_method : "";
  const std::string_view path = request->local_uri ? request->local_uri : "";
  const bool head = method == "HEAD";
  const char* host = mg_get_header(connection, "Host");
  if (!HostAllowed(host ? host : "")) {
    Reply(connection, 421, "text/plain; charset=utf-8",
          "this endpoint does not answer for that host name (see --allow-host)\n", head);
    return 421;
  }
  const char* authorization = mg_get_header(connection, "Authorization");
  if (!Authorized(Web, authorization ? authorization : "")) {
    Reply(connection, 401, "text/plain; charset=utf-8", "this endpoint needs a user and password\n", head, nullptr,
          "Basic realm=\"wirepeek\", charset=\"UTF-8\"");
    return 401;
  }
  const bool known = path == "/" || path == "/metrics" || path == "/report.json";
  if (!known) {
    Reply(connection, 404, "text/plain; charset=utf-8", "not found: try /metrics or /report.json\n", head);
    return 404;
  }
  if (method != "GET" && !head) {
    Reply(connection, 405, "text/plain; charset=utf-8", "only GET and HEAD\n", false, "GET, HEAD");
    return 405;
  }
  if (path == "/metrics") {
    const char* accept = mg_get_header(connection, "Accept");
    const TExpositionFormat format = NegotiateFormat(accept ? accept : "");
    Reply(connection, 200, ContentType(format), Sources.Metrics(format), head);
  } else if (path == "/report.json") {
    Reply(connection, 200, "application/json", Sources.ReportJson(), head);
  } else {
    Reply(connection, 200, "text/html; charset=utf-8", LandingPage, head);
  }
  return 200;
}

int RunMetricsServe(const TLongOptions& options, std::ostream& out, std::ostream& err) {
  // Read while the executable is still readable: the user it serves as may
  // not reach the folder it lives in.
  const TAboutVersionInfo version = LoadVersionInfo();
  // So is the web configuration.
  TMetricsServer server;
  std::string error;
  if (!options.WebConfig.empty() && !LoadWebConfig(options.WebConfig, server.Web, error)) {
    err << "wirepeek: " << error << '\n';
    return 1;
  }
  THeadlessCapture capture;
  // Months of traffic from any number of addresses: only the busiest are kept.
  capture.Figures().UseSummary(options.Top);
  const double startSeconds =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (!StartUnprivileged(capture, options, err)) return 1;

  const auto started = std::chrono::steady_clock::now();
  // What the report object says of the capture's time, at any moment.
  const auto timed = [&](TFiguresSnapshot figures) {
    figures.StartUnixMillis = static_cast<std::int64_t>(std::llround(startSeconds * 1000));
    figures.DurationSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return figures;
  };
  TMetricsContext context;
  context.Adapter = options.Adapter;
  context.Top = options.Top;
  context.StartTimeSeconds = startSeconds;
  context.Version = version.VersionValues[8].empty() ? "unknown" : version.VersionValues[8];

  server.AllowedHosts = options.AllowHosts;
  TMetricsServer::TSources sources;
  sources.Metrics = [&](TExpositionFormat format) {
    TMetricsContext now = context;
    now.CaptureUp = capture.Running();
    now.Process = ReadProcessFigures();
    return WriteMetrics(capture.Figures().Snapshot(true), now, format);
  };
  sources.ReportJson = [&] {
    TFiguresSnapshot now = timed(capture.Figures().Snapshot(true));
    // As on /metrics: the --top programs and ports, in their order as always.
    if (now.Programs.size() > static_cast<std::size_t>(options.Top)) {
      now.Programs = TopPrograms(std::move(now.Programs), options.Top);
      std::sort(now.Programs.begin(), now.Programs.end(), [](const ProgramTotals& a, const ProgramTotals& b) {
        return std::tie(a.Program, a.User) < std::tie(b.Program, b.User);
      });
    }
    if (now.Ports.size() > static_cast<std::size_t>(options.Top)) {
      now.Ports = TopPorts(std::move(now.Ports), options.Top);
      std::sort(now.Ports.begin(), now.Ports.end(), InPortOrder);
    }
    return ReportJsonLine(options.Adapter, true, now);
  };
  if (!server.Start(options.ListenAddress, options.ListenPort, sources, error)) {
    err << "wirepeek: " << error << '\n';
    capture.End(err);
    return 1;
  }
  err << "wirepeek: serving http://" << options.ListenAddress << ':' << server.Port() << "/metrics for "
      << options.Adapter << std::endl;

  capture.Wait(options.Seconds, std::chrono::milliseconds(0), [] {});
  server.Stop();
  const bool stoppedByItself = capture.EndedByItself();
  const int code = capture.End(err);
  if (options.Json) {
    out << ReportJsonLine(options.Adapter, true, timed(capture.Final()));
    out.flush();
  }
  if (stoppedByItself && code == 0) {
    err << "wirepeek: the capture ended by itself\n";
    return 1;
  }
  return code;
}
