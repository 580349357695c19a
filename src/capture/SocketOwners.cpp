#include "capture/SocketOwners.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/Utf8Text.h"

namespace {

// An IPv6 address as IPv4: its mapped form (::ffff:a.b.c.d), 0 for any.
// False for a real IPv6 address.
// An IPv6 socket's address: IPv4 where it is mapped (or unspecified), IPv6
// otherwise. Mapped is set when it is an IPv4 one.
TIpAddress SocketAddress(const __be32 words[4], bool& mapped) {
  mapped = words[0] == 0 && words[1] == 0 && (words[2] == htonl(0xffff) || (words[2] == 0 && words[3] == 0));
  if (mapped) return TIpAddress::V4(words[3]);
  std::uint8_t bytes[16];
  std::memcpy(bytes, words, 16);
  return TIpAddress::V6(bytes);
}

// A process name as a label and a cell can show it: control characters,
// and every byte that does not start a well-formed character (the name is
// cut at 15 bytes, maybe inside one), become '?'.
std::string Printable(const std::string& name) { return ValidUtf8(name, "?"); }

std::string ReadLine(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char text[256];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  std::string line(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

}  // namespace

bool ParseSocketList(const std::uint8_t* data, std::size_t length, std::uint8_t protocol,
                     std::vector<TSocketEntry>& out, bool& done) {
  done = false;
  std::size_t at = 0;
  while (at + sizeof(nlmsghdr) <= length) {
    nlmsghdr header;
    std::memcpy(&header, data + at, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > length - at) return false;
    if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
      done = true;
      return header.nlmsg_type == NLMSG_DONE;
    }
    if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      inet_diag_msg m;
      std::memcpy(&m, data + at + NLMSG_HDRLEN, sizeof m);
      TSocketEntry e;
      e.Protocol = protocol;
      bool usable = true;
      if (m.idiag_family == AF_INET) {
        e.LocalAddr = TIpAddress::V4(m.id.idiag_src[0]);
        e.RemoteAddr = TIpAddress::V4(m.id.idiag_dst[0]);
      } else if (m.idiag_family == AF_INET6) {
        bool localMapped = false, remoteMapped = false;
        e.LocalAddr = SocketAddress(m.id.idiag_src, localMapped);
        e.RemoteAddr = SocketAddress(m.id.idiag_dst, remoteMapped);
        // An unspecified end goes with either family.
        const bool localAny = localMapped && e.LocalAddr.Raw4() == 0;
        const bool remoteAny = remoteMapped && e.RemoteAddr.Raw4() == 0;
        if (localMapped != remoteMapped && !localAny && !remoteAny) usable = false;
        if (localAny && !remoteMapped) e.LocalAddr = TIpAddress::V6(std::array<std::uint8_t, 16>{}.data());
        if (remoteAny && !localMapped) e.RemoteAddr = TIpAddress::V6(std::array<std::uint8_t, 16>{}.data());
      } else {
        usable = false;
      }
      e.LocalPort = ntohs(m.id.idiag_sport);
      e.RemotePort = ntohs(m.id.idiag_dport);
      e.Uid = m.idiag_uid;
      e.Inode = m.idiag_inode;
      // The attributes after the message: the control group among them.
      const std::size_t end = at + header.nlmsg_len;
      for (std::size_t a = at + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof m); a + sizeof(rtattr) <= end;) {
        rtattr attribute;
        std::memcpy(&attribute, data + a, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > end - a) break;
        if (attribute.rta_type == INET_DIAG_CGROUP_ID && attribute.rta_len >= RTA_LENGTH(sizeof(std::uint64_t)))
          std::memcpy(&e.CgroupId, data + a + RTA_LENGTH(0), sizeof e.CgroupId);
        a += RTA_ALIGN(attribute.rta_len);
      }
      if (usable) out.push_back(e);
    }
    at += NLMSG_ALIGN(header.nlmsg_len);
  }
  return true;
}

std::string UnitOfCgroupPath(std::string_view path) {
  for (std::string_view rest = path; !rest.empty();) {
    const auto slash = rest.rfind('/');
    const std::string_view last = rest.substr(slash == std::string_view::npos ? 0 : slash + 1);
    if (last.ends_with(".service") || last.ends_with(".scope")) return std::string(last);
    if (slash == std::string_view::npos) break;
    rest = rest.substr(0, slash);
  }
  return path.empty() ? "/" : std::string(path);
}

namespace {

// Where the unified control-group hierarchy is mounted: /sys/fs/cgroup on a
// machine of today, /sys/fs/cgroup/unified beside the older ones.
std::string UnifiedHierarchy() {
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE ...
    const auto dash = line.find(" - cgroup2 ");
    if (dash == std::string::npos) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string id, parent, numbers, root, point;
    if (fields >> id >> parent >> numbers >> root >> point) return point;
  }
  return "/sys/fs/cgroup";
}

}  // namespace

void TCgroupNames::Read() {
  ReadThisRound = true;
  Units.clear();
  namespace fs = std::filesystem;
  const fs::path top = UnifiedHierarchy();
  std::error_code error;
  // A control group's id is its directory's inode number.
  const auto add = [&](const fs::path& dir) {
    struct stat info{};
    if (stat(dir.c_str(), &info) != 0) return;
    const std::string relative = "/" + dir.lexically_relative(top).generic_string();
    Units[info.st_ino] = UnitOfCgroupPath(relative == "/." ? "" : relative);
  };
  add(top);
  for (fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end && Units.size() < 100'000; it.increment(error))
    if (it->is_directory(error) && !it->is_symlink(error)) add(it->path());
}

std::string TCgroupNames::UnitOf(std::uint64_t id) {
  if (id == 0) return {};
  auto found = Units.find(id);
  if (found == Units.end() && !ReadThisRound) {
    Read();
    found = Units.find(id);
  }
  return found == Units.end() ? std::string() : found->second;
}

std::string UserName(std::uint32_t uid) {
  passwd entry{}, *found = nullptr;
  std::array<char, 4096> buffer{};
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return std::to_string(uid);
}

std::unique_ptr<TOwnerLookup> HostOwnerLookup(const TIpAddress& LocalAddr) {
  return std::make_unique<TSocketOwners>(LocalAddr);
}

TSocketOwners::~TSocketOwners() {
  if (Fd >= 0) close(Fd);
}

bool TSocketOwners::Refresh() {
  ScannedThisRound = false;
  Cgroups.Refresh();
  if (Fd < 0) {
    Fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (Fd < 0) return false;
    // A listing the kernel does not finish must not hold the look-ups forever.
    const timeval wait{1, 0};
    setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  // Sockets are asked for one at a time, as traffic needs them: a listing
  // of every socket costs in proportion to all the host holds.
  Looked.clear();
  return true;
}

// The kernel finds the socket a datagram of the key belongs to as it would
// deliver it: the connected one, else the one bound to the port (on the
// watched address or any).
bool TSocketOwners::LookUp(const TSocketKey& key, TSocketEntry& entry) const {
  struct {
    nlmsghdr Header;
    inet_diag_req_v2 Request;
  } message{};
  message.Header.nlmsg_len = sizeof message;
  message.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.Header.nlmsg_flags = NLM_F_REQUEST;
  message.Header.nlmsg_seq = ++Sequence;
  const TIpAddress& local = key.LocalAddr == TIpAddress{} ? Local : key.LocalAddr;
  message.Request.sdiag_family = local.IsV6() ? AF_INET6 : AF_INET;
  message.Request.sdiag_protocol = key.Protocol;
  message.Request.idiag_states = ~0u;
  inet_diag_sockid& id = message.Request.id;
  // TCP takes the local end as the source; UDP, for historical reasons,
  // the remote one.
  const bool tcp = key.Protocol == IPPROTO_TCP;
  const TIpAddress& source = tcp ? local : key.RemoteAddr;
  const TIpAddress& dest = tcp ? key.RemoteAddr : local;
  std::memcpy(id.idiag_src, source.Bytes(), source.Size());
  id.idiag_sport = htons(tcp ? key.LocalPort : key.RemotePort);
  std::memcpy(id.idiag_dst, dest.Bytes(), dest.Size());
  id.idiag_dport = htons(tcp ? key.RemotePort : key.LocalPort);
  id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(Fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) !=
      static_cast<ssize_t>(sizeof message))
    return false;
  std::array<std::uint8_t, 8192> buffer{};
  while (true) {
    const ssize_t n = recv(Fd, buffer.data(), buffer.size(), 0);
    if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) return false;
    nlmsghdr header;
    std::memcpy(&header, buffer.data(), sizeof header);
    // The late answer to a question given up on.
    if (header.nlmsg_seq != Sequence) continue;
    std::vector<TSocketEntry> found;
    bool done = false;
    // An error answer (no such socket) lists none.
    ParseSocketList(buffer.data(), static_cast<std::size_t>(n), key.Protocol, found, done);
    if (found.empty()) return false;
    entry = found.front();
    return true;
  }
}

const TSocketEntry* TSocketOwners::Entry(const TSocketKey& key) const {
  auto it = Looked.find(key);
  if (it == Looked.end()) {
    TSocketEntry entry;
    const bool found = Fd >= 0 && LookUp(key, entry);
    it = Looked.emplace(key, found ? std::optional<TSocketEntry>(entry) : std::nullopt).first;
  }
  return it->second ? &*it->second : nullptr;
}

std::uint64_t TSocketOwners::InodeOf(const TSocketKey& key) const {
  const TSocketEntry* e = Entry(key);
  if (!e) return 0;
  return e->Inode ? e->Inode : Closing;
}

void TSocketOwners::ScanProcesses() {
  ScannedThisRound = true;
  Holders.clear();
  DIR* proc = opendir("/proc");
  if (!proc) return;
  constexpr std::string_view Prefix = "socket:[";
  while (const dirent* process = readdir(proc)) {
    pid_t pid = 0;
    const char* name = process->d_name;
    const auto parsed = std::from_chars(name, name + std::strlen(name), pid);
    if (parsed.ec != std::errc() || *parsed.ptr != '\0') continue;
    const std::string fdPath = "/proc/" + std::string(name) + "/fd";
    // Other users' processes are not readable: their sockets stay theirs.
    DIR* fds = opendir(fdPath.c_str());
    if (!fds) continue;
    while (const dirent* fd = readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      char target[64];
      const ssize_t n = readlinkat(dirfd(fds), fd->d_name, target, sizeof target - 1);
      if (n <= static_cast<ssize_t>(Prefix.size()) || std::string_view(target, Prefix.size()) != Prefix) continue;
      std::uint64_t inode = 0;
      if (std::from_chars(target + Prefix.size(), target + n, inode).ec == std::errc()) Holders.emplace(inode, pid);
    }
    closedir(fds);
  }
  closedir(proc);
}

TSocketOwner TSocketOwners::Find(const TSocketKey& key) {
  TSocketOwner owner;
  const TSocketEntry* e = Entry(key);
  if (!e || e->Inode == 0) return owner;
  owner.Inode = e->Inode;
  // Names come from the user database, which may be remote: each once.
  auto user = Users.find(e->Uid);
  if (user == Users.end()) {
    if (Users.size() >= 4096) Users.clear();
    user = Users.emplace(e->Uid, UserName(e->Uid)).first;
  }
  owner.User = user->second;
  owner.Unit = Cgroups.UnitOf(e->CgroupId);
  const auto read = [&] {
    const auto holder = Holders.find(e->Inode);
    if (holder == Holders.end()) return;
    const std::string dir = "/proc/" + std::to_string(holder->second);
    owner.Program = Printable(ReadLine(dir + "/comm"));
    char exe[4096];
    const ssize_t n = readlink((dir + "/exe").c_str(), exe, sizeof exe);
    if (n > 0) owner.Executable.assign(exe, static_cast<std::size_t>(n));
  };
  read();
  // One scan a round at most, and only for a socket not seen before (or
  // whose process has gone since).
  if (owner.Program.empty() && !ScannedThisRound) {
    ScanProcesses();
    read();
  }
  // Gone meanwhile, or a process this user may not look into.
  if (owner.Program.empty()) owner.Program = "user " + owner.User;
  return owner;
}
