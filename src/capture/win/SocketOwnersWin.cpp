// Which program owns a local TCP or UDP socket, on Windows: the IP helper's
// socket tables with their owning process ids, and the process's image name.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/SocketOwners.h"

namespace {

// A socket's identity across listings: its process and local port (the
// tables have no other), 0 while no process holds it.
std::uint64_t Identity(DWORD pid, std::uint8_t protocol, std::uint16_t port) {
  if (pid == 0) return 0;
  return (std::uint64_t{pid} << 32) | (std::uint64_t{protocol} << 16) | port;
}

template <typename TTable, typename TCall>
bool ReadTable(std::vector<std::uint8_t>& buffer, TCall call) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto size = static_cast<DWORD>(buffer.size());
    const DWORD result = call(buffer.empty() ? nullptr : buffer.data(), &size);
    if (result == NO_ERROR) return true;
    if (result != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(size + 4096);
  }
  return false;
}

std::string ImageName(DWORD pid, std::string& executable) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return {};
  char path[MAX_PATH * 4] = {};
  DWORD length = sizeof path;
  std::string name;
  if (QueryFullProcessImageNameA(process, 0, path, &length)) {
    executable.assign(path, length);
    const auto slash = executable.find_last_of("\\/");
    name = executable.substr(slash == std::string::npos ? 0 : slash + 1);
  }
  CloseHandle(process);
  return name;
}

// The look-ups of this host, from the socket tables; used by one look-up
// thread.
class TTableSocketOwners final : public TOwnerLookup {
 public:
  explicit TTableSocketOwners(const TIpAddress& LocalAddr) : Local(LocalAddr) {}
  bool Refresh() override;
  std::uint64_t InodeOf(const TSocketKey& Key) const override;
  TSocketOwner Find(const TSocketKey& Key) override;

 private:
  const TSocketEntry* Entry(const TSocketKey& Key) const;

  TIpAddress Local;
  std::vector<TSocketEntry> Sockets;
  // (protocol, local port, remote address, remote port) and (protocol, local
  // port) to Sockets.
  std::unordered_map<TSocketKey, std::uint32_t, TSocketKeyHash> Connected, Bound;
  std::unordered_map<std::uint64_t, DWORD> Holders;  // socket identity -> process
};

bool TTableSocketOwners::Refresh() {
  std::vector<TSocketEntry> sockets;
  Holders.clear();
  std::vector<std::uint8_t> buffer(16384);
  if (!ReadTable<MIB_TCPTABLE_OWNER_PID>(buffer, [](void* data, DWORD* size) {
        return GetExtendedTcpTable(data, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
      }))
    return false;
  {
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      TSocketEntry e;
      e.Protocol = IPPROTO_TCP;
      e.LocalAddr = TIpAddress::V4(row.dwLocalAddr);
      e.LocalPort = static_cast<std::uint16_t>(ntohs(static_cast<u_short>(row.dwLocalPort)));
      e.RemoteAddr = TIpAddress::V4(row.dwState == MIB_TCP_STATE_LISTEN ? 0 : row.dwRemoteAddr);
      e.RemotePort = static_cast<std::uint16_t>(ntohs(static_cast<u_short>(row.dwRemotePort)));
      e.Inode = Identity(row.dwOwningPid, e.Protocol, e.LocalPort);
      if (e.Inode) Holders[e.Inode] = row.dwOwningPid;
      sockets.push_back(e);
    }
  }
  if (!ReadTable<MIB_UDPTABLE_OWNER_PID>(buffer, [](void* data, DWORD* size) {
        return GetExtendedUdpTable(data, size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
      }))
    return false;
  {
    const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_UDPROW_OWNER_PID& row = table->table[i];
      TSocketEntry e;
      e.Protocol = IPPROTO_UDP;
      e.LocalAddr = TIpAddress::V4(row.dwLocalAddr);
      e.LocalPort = static_cast<std::uint16_t>(ntohs(static_cast<u_short>(row.dwLocalPort)));
      e.Inode = Identity(row.dwOwningPid, e.Protocol, e.LocalPort);
      if (e.Inode) Holders[e.Inode] = row.dwOwningPid;
      sockets.push_back(e);
    }
  }
  Sockets = std::move(sockets);
  Connected.clear();
  Bound.clear();
  for (std::uint32_t i = 0; i < Sockets.size(); ++i) {
    const TSocketEntry& e = Sockets[i];
    if (e.LocalAddr != 0 && e.LocalAddr != Local) continue;
    if (e.RemoteAddr != 0) {
      Connected[{e.RemoteAddr, e.LocalPort, e.RemotePort, e.Protocol}] = i;
    } else {
      // A socket bound to the address itself wins over one bound to any.
      const auto [it, added] = Bound.try_emplace({0, e.LocalPort, 0, e.Protocol}, i);
      if (!added && e.LocalAddr != 0) it->second = i;
    }
  }
  return true;
}

const TSocketEntry* TTableSocketOwners::Entry(const TSocketKey& key) const {
  if (const auto it = Connected.find(key); it != Connected.end()) return &Sockets[it->second];
  if (const auto it = Bound.find({0, key.LocalPort, 0, key.Protocol}); it != Bound.end()) return &Sockets[it->second];
  return nullptr;
}

std::uint64_t TTableSocketOwners::InodeOf(const TSocketKey& key) const {
  const TSocketEntry* e = Entry(key);
  if (!e) return 0;
  return e->Inode ? e->Inode : Closing;
}

TSocketOwner TTableSocketOwners::Find(const TSocketKey& key) {
  TSocketOwner owner;
  const TSocketEntry* e = Entry(key);
  if (!e || e->Inode == 0) return owner;
  owner.Inode = e->Inode;
  const auto holder = Holders.find(e->Inode);
  if (holder != Holders.end()) owner.Program = ImageName(holder->second, owner.Executable);
  // A process this user may not look into is known by its id.
  if (owner.Program.empty() && holder != Holders.end()) owner.Program = "pid " + std::to_string(holder->second);
  return owner;
}

}  // namespace

std::unique_ptr<TOwnerLookup> HostOwnerLookup(const TIpAddress& LocalAddr) {
  return std::make_unique<TTableSocketOwners>(LocalAddr);
}
