#include "headless/HeadlessReport.h"

#include <chrono>
#include <ostream>

#include "headless/HeadlessCapture.h"
#include "headless/Unprivileged.h"
#include "report/Report.h"

int RunHeadlessReport(const TLongOptions& options, std::ostream& out, std::ostream& err) {
  const auto startMillis =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  const auto started = std::chrono::steady_clock::now();
  THeadlessCapture capture;
  if (!StartUnprivileged(capture, options, err)) return 1;

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

  TFiguresSnapshot figures = capture.Final();
  if (capture.Live()) {
    figures.StartUnixMillis = startMillis.count();
    figures.DurationSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  // A file that never names the address gives all zeros, which looks like a
  // quiet address rather than a wrong one.
  if (!capture.Live() && code != THeadlessCapture::ExitFaulted && figures.Counters[DirectionSent][KindPackets][0] == 0 &&
      figures.Counters[DirectionReceived][KindPackets][0] == 0)
    err << "wirepeek: warning: none of the " << figures.TotalPackets << " datagrams in " << options.File
        << " was sent or received by " << options.Adapter << '\n';
  if (options.Json)
    out << ReportJsonLine(options.Adapter, capture.Live(), figures);
  else
    WriteFiguresText(options.Adapter, capture.Live(), figures, out);
  out.flush();
  return code;
}
