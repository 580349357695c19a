#pragma once
// wirepeek --serve ADDR:PORT --adapter A: a live capture without a window,
// served over HTTP until Ctrl+C or SIGTERM:
//   GET /metrics      the figures for a Prometheus server
//   GET /report.json  the object --report --json prints, at that moment
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "headless/MetricsText.h"
#include "headless/WebConfig.h"

#include "support/ProgramOptions.h"
struct mg_context;
struct mg_connection;

// The HTTP side: answers GET and HEAD on the two paths, 404 elsewhere, 405 to
// other methods. Requests are bounded in size and time by the server library.
// On a loopback listener, a request whose Host header names neither the
// address served on, nor localhost, nor one of AllowedHosts gets 421: a web
// page that points a name of its own at this address cannot read the figures.
// On any other address (every address included) any Host is answered unless
// AllowedHosts is given, which then restricts it the same way.
class TMetricsServer {
 public:
  struct TSources {
    std::function<std::string(TExpositionFormat)> Metrics;
    std::function<std::string()> ReportJson;
  };

  TMetricsServer() = default;
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  // Listens on Address:Port (port 0: any free one). False with a one-line
  // reason (a port in use, an address this host does not own).
  bool Start(const std::string& Address, int Port, TSources Sources, std::string& Error);
  // The port listened on.
  int Port() const { return BoundPort; }
  // Whether a request with this Host header is answered.
  bool HostAllowed(std::string_view Host) const;

  // Set before Start: host names answered besides the address and localhost.
  std::vector<std::string> AllowedHosts;
  // Set before Start: the users a request must name (none: anyone).
  TWebConfig Web;
  // Waits for requests in progress, then closes.
  void Stop();

 private:
  bool LoopbackListener() const;
  static int OnRequest(mg_connection* Connection, void* Self);
  int Answer(mg_connection* Connection);

  TSources Sources;
  std::string ListenAddress;
  mg_context* Context = nullptr;
  int BoundPort = 0;
};

int RunMetricsServe(const TLongOptions& Options, std::ostream& Out, std::ostream& Err);
