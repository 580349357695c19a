#pragma once
// Which program owns a local TCP or UDP socket, found without any right: the
// kernel's socket listing over netlink (every user may read it; it gives each
// socket's inode and owner) and the descriptors in /proc of the processes
// this user may read. Other users' sockets are known only by their owner.
#include <sys/types.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/backend/IpAddress.h"

// What the capture knows of a datagram's socket.
struct TSocketKey {
  TIpAddress RemoteAddr;
  std::uint16_t LocalPort = 0;
  std::uint16_t RemotePort = 0;
  std::uint8_t Protocol = 0;  // 6 TCP, 17 UDP
  // Ours: one of a whole interface's addresses (unspecified: the watched one).
  TIpAddress LocalAddr{};
  bool operator==(const TSocketKey&) const = default;
};

struct TSocketKeyHash {
  std::size_t operator()(const TSocketKey& k) const noexcept {
    std::uint64_t x = std::rotl(k.RemoteAddr.Hash(), 32) ^ k.LocalAddr.Hash() ^ (std::uint64_t{k.LocalPort} << 16) ^ k.RemotePort ^
                      (std::uint64_t{k.Protocol} << 56);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return static_cast<std::size_t>(x);
  }
};

// One socket as the kernel lists it.
struct TSocketEntry {
  std::uint8_t Protocol = 0;
  TIpAddress LocalAddr;  // unspecified: any
  std::uint16_t LocalPort = 0;
  TIpAddress RemoteAddr;  // unspecified: not connected
  std::uint16_t RemotePort = 0;
  std::uint32_t Uid = 0;
  std::uint64_t Inode = 0;  // 0: no longer held by any process (closing)
  std::uint64_t CgroupId = 0;  // the control group of its creator; 0 unknown
};

// Appends the sockets of one netlink reply buffer to Out (an IPv6 socket
// that carries IPv4 traffic with its IPv4 addresses). Done becomes true at the end of the
// listing; false when the buffer is not a listing.
bool ParseSocketList(const std::uint8_t* Data, std::size_t Length, std::uint8_t Protocol,
                     std::vector<TSocketEntry>& Out, bool& Done);

// The service unit or application scope a control group belongs to: the
// innermost component of its path that ends in ".service" or ".scope"
// ("/system.slice/nginx.service" gives "nginx.service"), else the path
// itself; "/" for the root.
std::string UnitOfCgroupPath(std::string_view Path);

// The paths of the control groups of the unified hierarchy by their ids,
// read from the file system; what no one may read is left out.
class TCgroupNames {
 public:
  // The unit of a control group id, or empty when it is not known (even
  // after one new reading of the hierarchy per call of Refresh).
  std::string UnitOf(std::uint64_t Id);
  void Refresh() { ReadThisRound = false; }

 private:
  void Read();
  std::unordered_map<std::uint64_t, std::string> Units;
  bool ReadThisRound = false;
};

// The name of a user, or the uid where it has none.
std::string UserName(std::uint32_t Uid);

// The owner of a socket: a program, or only a user.
struct TSocketOwner {
  std::string Program;  // comm, "user NAME", or empty when unknown
  std::string User;
  std::string Executable;
  std::uint64_t Inode = 0;
  // The service unit or scope the socket was made in, readable without any
  // right: it names the traffic where the process cannot be looked into.
  std::string Unit;
};

// Where attribution learns who owns a socket: a listing of the sockets and a
// look-up of the processes that hold them. Used by one look-up thread.
class TOwnerLookup {
 public:
  virtual ~TOwnerLookup() = default;
  // Lists the sockets anew; false when that failed.
  virtual bool Refresh() = 0;
  // The inode of the socket the key belongs to: 0 none, or Closing when it
  // is listed without an owner.
  virtual std::uint64_t InodeOf(const TSocketKey& Key) const = 0;
  // The owner of the key's socket; Program empty when no open socket has it.
  virtual TSocketOwner Find(const TSocketKey& Key) = 0;

  static constexpr std::uint64_t Closing = UINT64_MAX;
};

// The look-ups of this host, by the platform's own means; LocalAddr is the
// watched address.
std::unique_ptr<TOwnerLookup> HostOwnerLookup(const TIpAddress& LocalAddr);

// The look-ups of this host: the kernel's listing over netlink and /proc.
class TSocketOwners final : public TOwnerLookup {
 public:
  // LocalAddr: the watched address; sockets bound to other addresses do not
  // match.
  explicit TSocketOwners(const TIpAddress& LocalAddr) : Local(LocalAddr) {}
  ~TSocketOwners() override;
  TSocketOwners(const TSocketOwners&) = delete;
  TSocketOwners& operator=(const TSocketOwners&) = delete;

  // Starts a round: sockets are asked for anew, each when first needed.
  // False when the kernel's socket listing cannot be reached.
  bool Refresh() override;
  // The inode of the socket the key belongs to: 0 none, or UINT64_MAX when
  // it is closing (listed without an owner).
  std::uint64_t InodeOf(const TSocketKey& Key) const override;
  // The owner of the key's socket; Program empty when no open socket has it.
  TSocketOwner Find(const TSocketKey& Key) override;

 private:
  // The socket of a key, asked of the kernel once a round.
  const TSocketEntry* Entry(const TSocketKey& Key) const;
  bool LookUp(const TSocketKey& Key, TSocketEntry& Entry) const;
  void ScanProcesses();

  TIpAddress Local;
  int Fd = -1;
  // What this round's questions found (nothing: no socket); a cache that
  // the const look-ups fill.
  mutable std::unordered_map<TSocketKey, std::optional<TSocketEntry>, TSocketKeyHash> Looked;
  mutable std::uint32_t Sequence = 0;
  std::unordered_map<std::uint64_t, pid_t> Holders;  // inode -> process
  std::unordered_map<std::uint32_t, std::string> Users;  // uid -> name
  TCgroupNames Cgroups;
  bool ScannedThisRound = false;
};
