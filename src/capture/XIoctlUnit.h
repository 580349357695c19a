#pragma once
// The capture state shared by the capture thread and the window.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture/backend/CaptureBackend.h"
#include "capture/CaptureTypes.h"
#include "capture/DumpRing.h"
#include "capture/backend/HostAddresses.h"
#include "capture/backend/RightsFix.h"
#include "support/ManualResetEvent.h"

class TXIoctl {
 public:
  // Dumps: where the packet dumps of debug mode go (the trace channel in
  // the program).
  explicit TXIoctl(TTextChannel& Channel = TraceOutput) : DumpChannel(Channel), Dumps(Channel) {}
  TXIoctl(const TXIoctl&) = delete;
  TXIoctl& operator=(const TXIoctl&) = delete;

  TCaptureNotifyTarget* NotifyWindow = nullptr;
  TCaptureNotifyTarget* RecordWindow = nullptr;
  // Written by one thread and read by the other, hence atomics.
  std::atomic<std::uint8_t> Running{0};
  std::atomic<std::uint8_t> KeepRunning{0};
  std::int32_t IdleTicks = 0;
  std::uint8_t CurDirection = 0;
  std::uint8_t CurCategory = 0;
  std::int32_t CurLength = 0;
  std::int64_t TotalPackets = 0;
  std::int64_t TotalBytes = 0;
  CategoryCounters Counters{};
  TCaptureStartupInfo WsaData;
  std::unique_ptr<TCaptureSocket> CaptureSocket;
  std::int32_t SelectedAdapter = 0;
  std::int32_t AdapterCount = 0;
  TManualResetEvent StopEvent;
  std::atomic<std::uint8_t> QueueBusy{0};
  TRecordQueue RecordQueue;
  AdapterTable Adapters;
  // The interface that owned each address when it was listed, indexed as
  // Adapters (empty where none was known).
  TAdapterColumn<std::string> AdapterNames;
  // 1 where the entry is a whole interface, named in AdapterNames, rather
  // than one address (Adapters holds nothing there).
  TAdapterColumn<std::uint8_t> AdapterIsInterface;
  // A datagram for CountPacket(State, direction) to count. The capture loop
  // reads each datagram where the capture left it instead, and counts it
  // from there: copying every datagram first cost about 5% of a flood's CPU.
  std::array<std::uint8_t, 65536> RecvBuffer{};
  std::size_t RecvLength = RecvBuffer.size();  // bytes of the current datagram in RecvBuffer

  // A capture file to read instead of the live interface (empty: live).
  std::string CaptureFile;
  // Where ListAdaptor and InitAdapter learn the host's addresses.
  THostAddressSource HostAddressSource = SystemIpAddresses;
  // The capture helper used when this process may not capture itself
  // (empty: looked for beside the executable, then where it is installed).
  std::string CaptureHelper;

  // What the front end sets before a capture starts: -S (dumps of at most
  // 256 bytes), the program's own path, beside which the capture helper is
  // looked for first, and where failures are told (a box in the window,
  // standard error without one; when empty, the default sinks below).
  std::uint8_t DumpLimit = 0;
  std::string ExePath;
  std::function<int(std::string_view Text, std::string_view Detail)> ErrorBox;
  std::function<void(std::string_view Line)> Reason;
  // After a capture that could not start for lack of rights: what the user
  // does about it (its Kind is None otherwise). Set before the box is shown.
  TRightsFix RightsFix;

  // The packet dumps of every capture of this run, on their way from the
  // capture thread to DumpChannel.
  TTextChannel& DumpChannel;
  TDumpFormatter Dumps;

  // Tells of a failure through ErrorBox (text cut to 255 bytes).
  int ShowErrorBox(std::string_view Text, std::string_view Detail = {}) const;

  // Sets the totals and the 68 counters to 0, as each capture start does.
  void ResetCounters() noexcept;

  // The host's addresses into Adapters, IPv4 before IPv6, then an entry
  // for each interface as a whole: how many, or -1 with a box.
  std::int32_t ListAdaptor();
  // Makes entry 1 the only one: Adapter, an address (a link-local one with
  // its %scope) or the name of an interface of this host. False when it is
  // neither.
  bool SelectAdapter(const std::string& Adapter);
  // The addresses entry Index stands for: its address, or every address its
  // interface holds now.
  std::vector<TIpAddress> AdapterAddresses(std::int32_t Index) const;
  // Opens the capture on Adapters[SelectedAdapter] (or CaptureFile): 0, or
  // -1 with a box. A failed start leaves nothing open.
  std::int32_t InitAdapter();
  // Asks the capture loop to end, wakes it, and waits for StopEvent while
  // serving a notification that is in flight.
  void TermAdapter();
};

// The engine's single way to tell the user about a failure: a modal box
// captioned "確認" with one OK button in the program, standard error in the
// headless report, a recorder in tests. Text is cut to 255 bytes. Detail,
// when there is one, says why and what to do about it. Each capture has its
// own (TXIoctl::ErrorBox); these defaults serve a capture without one:
// standard error, or what a test sets.
using TErrorBoxSink = std::function<int(std::string_view Text, std::string_view Detail)>;
void SetErrorBoxSink(TErrorBoxSink Sink);
int ShowErrorBox(std::string_view Text, std::string_view Detail = {});
// Where the capture backend's own reason for a failure goes besides the
// trace channel (TXIoctl::Reason, else this default, else standard error).
using TReasonSink = std::function<void(std::string_view Line)>;
void SetReasonSink(TReasonSink Sink);
inline constexpr std::string_view ErrorBoxCaption = "確認";
// The monitor's box after any failed start.
inline constexpr std::string_view CaptureStartErrorText = "CaptureStart Error";
// How the adapter list writes an entry: "192.0.2.1 (eth0)", or "eth0 (all
// addresses)" for a whole interface.
std::string AdapterEntryText(const TXIoctl& State, std::int32_t Index);
// How --start, --adapter and the settings name an entry: the address (with
// a link-local one's scope), or the interface's name.
std::string AdapterEntryKey(const TXIoctl& State, std::int32_t Index);
