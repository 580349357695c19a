#include <algorithm>
#include <system_error>

#include "capture/CountPacket.h"
#include "capture/backend/IpDatagram.h"
#include "capture/backend/PacketBytes.h"
#include "capture/CaptureThread.h"
#include "capture/XIoctlUnit.h"
#include "support/Settings.h"
#include "support/FaultInjection.h"
#include "support/TextDevs.h"
#include "support/WorkerGuard.h"

namespace {

constexpr std::size_t MaxDatagram = 65535;

}  // namespace

TCaptureThread::TCaptureThread(TXIoctl& state) : State(state) {
  State.ResetCounters();
  // Raised here, before the thread exists, so that a stop asked for right
  // after the start is never lost and never finds the previous run's event.
  State.Running.store(1);
  State.KeepRunning.store(1);
  State.StopEvent.Reset();
  Worker = std::thread([this] { Execute(); });
}

TCaptureThread::~TCaptureThread() { WaitFor(); }

void TCaptureThread::WaitFor() {
  if (Worker.joinable()) Worker.join();
}

// Capture thread.
void TCaptureThread::Execute() {
  int exitCode = 2;
  // A fault in the loop (a bad pointer, say) ends this capture, not the
  // program.
  try {
    if (!RunWorker([&] { exitCode = Run(); })) exitCode = ExitAbandoned;
  } catch (...) {
    exitCode = 2;
  }
  // Whatever way the run ended.
  if (State.CaptureSocket) State.CaptureSocket->Close();
  Exit.store(exitCode);
  State.Running.store(0);
  State.KeepRunning.store(0);
  State.StopEvent.Set();
}

// Capture thread: the loop; returns the exit code.
int TCaptureThread::Run() {
  int exitCode = 2;
  {
    if (!State.NotifyWindow) {
      exitCode = 1;
    } else {
      ChooseWatched();
      State.NotifyWindow->CaptureNotify();
      exitCode = 0;
      while (State.KeepRunning.load(std::memory_order_relaxed)) {
        if (!State.CaptureSocket) {
          exitCode = 2;
          break;
        }
        Matched = false;
        const auto status = State.CaptureSocket->Receive(*this);
        FaultPoint(TFaultPoint::ReceiveLoop);
        // One notification for the whole group, after its last datagram. The
        // window shows CurLength beside the direction of the last datagram
        // counted, so it must be that datagram's, not a later stranger's.
        if (Matched) {
          State.CurLength = MatchedLength;
          State.NotifyWindow->CaptureNotify();
        }
        using TStatus = TCaptureSocket::TReceiveStatus;
        if (status == TStatus::Failed || status == TStatus::Interrupted) {
          exitCode = 2;
          break;
        }
        if (status == TStatus::EndOfFile) {
          exitCode = 0;
          break;
        }
        if (Terminated.load()) {
          exitCode = 3;
          break;
        }
      }
      // Datagrams of before the stop that are still on their way.
      if (State.CaptureSocket) {
        Matched = false;
        State.CaptureSocket->Finish(*this);
        if (Matched) {
          State.CurLength = MatchedLength;
          State.NotifyWindow->CaptureNotify();
        }
      }
    }
  }
  Watch.reset();
  return exitCode;
}

// Capture thread, before the first notification.
void TCaptureThread::ChooseWatched() {
  const std::int32_t index = State.SelectedAdapter;
  if (!State.AdapterIsInterface[index]) {
    // One address: its family's datagrams make the totals.
    const TIpAddress selected = State.Adapters[index];
    Watched.Count4 = !selected.IsV6();
    Watched.Count6 = selected.IsV6();
    Watched.Assign({selected});
    return;
  }
  // A whole interface: both families, and the addresses it holds now; a
  // file is seen from the addresses it holds at the start.
  Watched.Count4 = Watched.Count6 = true;
  if (!State.CaptureFile.empty()) {
    Watched.Assign(State.AdapterAddresses(index));
    return;
  }
  try {
    Watch = std::make_unique<TInterfaceWatch>(State.AdapterNames[index], State.HostAddressSource);
  } catch (const std::system_error&) {
    // No thread to follow them: the addresses of the start.
    Watched.Assign(State.AdapterAddresses(index));
    return;
  }
  if (Watch->Changed(WatchedNow)) Watched.Assign(WatchedNow);
}

// Capture thread, for each datagram of a group.
void TCaptureThread::Datagram(const TCapturedDatagram& datagram) {
  const std::size_t n = std::min(datagram.Length, MaxDatagram);

  if (datagram.Seconds != ReceiveSecond) {
    ReceiveTime = LocalTimeOf(static_cast<std::time_t>(datagram.Seconds), datagram.Microseconds);
    ReceiveSecond = datagram.Seconds;
  }
  ReceiveTime.Millisecond = static_cast<std::uint16_t>(datagram.Microseconds / 1000);

  // The interface's addresses as the watch last saw them: a load when they
  // have not changed. Checked here, since a receive may wait long for its
  // group.
  if (Watch && Watch->Changed(WatchedNow)) [[unlikely]]
    Watched.Assign(WatchedNow);

  // Read where it lies, for this call only. Every view of it ends at n: a
  // short datagram's missing bytes read as 0.
  const TPacketView view(datagram.Data, n);
  // Each family's totals count that family's datagrams; anything that is
  // not IPv6 takes the IPv4 path, as it always did.
  if (IpVersion(view) == 6) {
    if (Watched.Count6) Datagram6(view);
    return;
  }
  if (!Watched.Count4) return;
  State.CurLength = IpTotalLength(view);
  State.TotalPackets += 1;
  State.TotalBytes += State.CurLength;

  const std::uint32_t source = IpSourceAddr(view), dest = IpDestAddr(view);
  const bool sent = Watched.Has4(source), received = Watched.Has4(dest);
  if (!sent && !received) return;

  // Only copied here; the text is made on the formatter's thread, so the
  // dump never holds up the receive loop.
  // A capture file waits for room in the dump ring rather than lose dumps;
  // a live capture never waits.
  if (State.DumpChannel.WantsText())
    State.Dumps.Dump(view, static_cast<std::int32_t>(n), State.DumpLimit,
                     State.CaptureFile.empty() ? nullptr : &State.KeepRunning);
  Ports = TransportPorts(view);
  Source = TIpAddress::V4(source);
  Dest = TIpAddress::V4(dest);
  if (sent) {
    CountPacket(State, DirectionSent, view);
    QueueRecord(DirectionSent);
  }
  if (received) {
    CountPacket(State, DirectionReceived, view);
    QueueRecord(DirectionReceived);
  }
  Matched = true;
  MatchedLength = State.CurLength;
}

// Capture thread, for an IPv6 datagram.
void TCaptureThread::Datagram6(const TPacketView& view) {
  const auto n = view.Length();
  State.CurLength = Ipv6TotalLength(view);
  State.TotalPackets += 1;
  State.TotalBytes += State.CurLength;
  Source = Ipv6SourceAddr(view);
  Dest = Ipv6DestAddr(view);
  const bool ours[2] = {Watched.Has6(Source), Watched.Has6(Dest)};
  if (!ours[DirectionSent] && !ours[DirectionReceived]) return;
  if (State.DumpChannel.WantsText())
    State.Dumps.Dump(view, static_cast<std::int32_t>(n), State.DumpLimit,
                     State.CaptureFile.empty() ? nullptr : &State.KeepRunning);
  const TIpv6Upper upper = Ipv6UpperLayer(view);
  Ports = TTransportPorts{upper.Protocol, upper.Source, upper.Dest};
  // ICMPv6 is "ICMP"; TCP and UDP without their port bytes, and every other
  // upper layer, are "Sonota".
  const std::uint8_t classified = upper.Protocol == 58 ? 1 : upper.HasPorts ? upper.Protocol : 0;
  for (const std::uint8_t direction : {DirectionSent, DirectionReceived}) {
    if (!ours[direction]) continue;
    CountPacket(State, direction, classified, upper.Source, upper.Dest);
    QueueRecord(direction);
  }
  Matched = true;
  MatchedLength = State.CurLength;
}

// Capture thread.
void TCaptureThread::QueueRecord(std::uint8_t direction) {
  const bool sent = direction == DirectionSent;
  const TIpAddress& remote = sent ? Dest : Source;
  const TIpAddress& local = sent ? Source : Dest;
  const std::uint16_t localPort = sent ? Ports.Source : Ports.Dest;
  const std::uint16_t remotePort = sent ? Ports.Dest : Ports.Source;
  auto& queue = State.RecordQueue;
  State.QueueBusy.store(1, std::memory_order_release);
  try {
    // A burst of one flow goes down as one record: every table adds up
    // bytes and keeps the latest moment, so the sums are the same and the
    // folds run once per burst instead of once per datagram.
    PacketRecord* last = queue.empty() ? nullptr : &queue.back();
    if (last && last->Direction == direction && last->Category == State.CurCategory &&
        last->Protocol == Ports.Protocol && last->LocalPort == localPort && last->RemotePort == remotePort &&
        last->RemoteAddr == remote && last->LocalAddr == local) {
      last->Length += State.CurLength;
    } else {
      PacketRecord record;
      record.RemoteAddr = remote;
      record.LocalAddr = local;
      record.Direction = direction;
      record.Category = State.CurCategory;
      record.Length = State.CurLength;
      record.Protocol = Ports.Protocol;
      record.LocalPort = localPort;
      record.RemotePort = remotePort;
      queue.push_back(record);
      last = &queue.back();
    }
    last->Hour = ReceiveTime.Hour;
    last->Minute = ReceiveTime.Minute;
    last->Second = ReceiveTime.Second;
    last->Millisecond = ReceiveTime.Millisecond;
    last->UnixSeconds = ReceiveSecond;
  } catch (...) {
    State.QueueBusy.store(0, std::memory_order_release);
    throw;
  }
  State.QueueBusy.store(0, std::memory_order_release);
  if (State.RecordWindow) State.RecordWindow->CaptureNotify();
}
