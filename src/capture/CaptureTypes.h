#pragma once
// What the capture engine counts and hands on: the counters, the adapter
// table, the record of one counted datagram, and who is told about them.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/backend/IpAddress.h"
#include "catalogue/Global.h"

inline constexpr std::uint8_t DirectionSent = 0;
inline constexpr std::uint8_t DirectionReceived = 1;
inline constexpr int KindPackets = 0;
inline constexpr int KindBytes = 1;

// Counters[direction][kind][category]; category 0 of a direction is its total.
using CategoryCounters =
    std::array<std::array<std::array<std::int64_t, ServiceCategoryCount>, 2>, 2>;

// A column of the adapter list, indexed from 1, as long as the host's list.
// Writing past the end makes room; reading past it gives an empty entry.
template <class T>
class TAdapterColumn {
 public:
  T& operator[](int index) {
    const std::size_t at = Checked(index);
    if (at >= Entries.size()) Entries.resize(at + 1);
    return Entries[at];
  }
  T operator[](int index) const {
    const std::size_t at = Checked(index);
    return at < Entries.size() ? Entries[at] : T{};
  }
  int Count() const noexcept { return static_cast<int>(Entries.size()); }

 private:
  static std::size_t Checked(int index) {
    if (index < 1) throw std::out_of_range("adapter index below 1");
    return static_cast<std::size_t>(index - 1);
  }
  std::vector<T> Entries;
};

// The host's addresses a capture can watch, as many as it has.
using AdapterTable = TAdapterColumn<TIpAddress>;

// One counted packet, for the per-address view, or a run of one flow's
// packets that came one after another: Length is their sum, the time the
// last one's.
struct PacketRecord {
  TIpAddress RemoteAddr;
  std::uint8_t Direction = 0;
  std::uint8_t Category = 0;
  std::int64_t Length = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint16_t Millisecond = 0;
  std::int64_t UnixSeconds = 0;  // the same moment, for its date and UTC offset
  // The socket's side of it, for finding the program: the IP protocol, and
  // for TCP and UDP the ports (0 where the datagram does not hold them).
  std::uint8_t Protocol = 0;
  std::uint16_t LocalPort = 0;
  std::uint16_t RemotePort = 0;
  // The address of ours it was sent from or to: one of an interface's.
  TIpAddress LocalAddr{};
};

// Appended to by the capture thread, emptied whole by the drain; its room is
// kept, so a steady flood allocates nothing per record.
using TRecordQueue = std::vector<PacketRecord>;

// Whoever is told about captured traffic: the window, the headless report, a
// test.
class TCaptureNotifyTarget {
 public:
  virtual ~TCaptureNotifyTarget() = default;
  // Capture thread: runs the handler on the target's own thread and returns
  // only when it has run there.
  virtual void CaptureNotify() = 0;
  // Target's thread, while it waits for the capture to end: runs a
  // notification that is waiting for it, so ending a capture cannot deadlock.
  virtual void ServePending() {}
};
