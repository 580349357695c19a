#include "capture/ProgramTotals.h"

#include <algorithm>

#include "support/WorkerGuard.h"

namespace {

constexpr std::string_view OtherPrograms = "(other)";

bool Before(const ProgramTotals& a, const ProgramTotals& b) {
  if (a.Program != b.Program) return a.Program < b.Program;
  return a.User != b.User ? a.User < b.User : a.Unit < b.Unit;
}

}  // namespace

std::uint32_t TProgramTotalsTable::RowOf(const std::string& program, const std::string& user,
                                         const std::string& unit) {
  const std::string key = program + '\n' + user + '\n' + unit;
  if (const auto it = Index.find(key); it != Index.end()) return it->second;
  // The last free row is kept for all that come after.
  if (Rows.size() + 1 >= Limit && program != OtherPrograms) return RowOf(std::string(OtherPrograms), {});
  ProgramTotals row;
  row.Program = program;
  row.User = user;
  row.Unit = unit;
  Rows.push_back(std::move(row));
  Remotes.emplace_back();
  Shares.emplace_back();
  const auto id = static_cast<std::uint32_t>(Rows.size() - 1);
  Index.emplace(key, id);
  return id;
}

void TProgramTotalsTable::Add(std::uint32_t id, const PacketRecord& record, std::int64_t sent,
                              std::int64_t received, bool knownRemote) {
  ProgramTotals& row = Rows[id];
  row.SentBytes += sent;
  row.RecvBytes += received;
  row.LastCategory = record.Category;
  row.LastTime = record.Hour * 10000 + record.Minute * 100 + record.Second;
  row.LastUnixSeconds = record.UnixSeconds;
  if (!knownRemote && Remotes[id].size() < RemotesPerRow) Remotes[id].insert(record.RemoteAddr);
  TShares& shares = Shares[id];
  auto share = shares.find(record.RemoteAddr);
  if (share == shares.end() && shares.size() < RemotesPerRow) share = shares.emplace(record.RemoteAddr, TShare{}).first;
  if (share == shares.end()) return;
  share->second.SentBytes += sent;
  share->second.RecvBytes += received;
}

void TProgramTotalsTable::SeenIn(std::uint32_t id, const std::string& unit) {
  // The order stays: a row whose unit changes is the only one of its program
  // and user.
  if (Rows[id].Program != OtherPrograms) Rows[id].Unit = unit;
}

void TProgramTotalsTable::Clear() {
  Rows.clear();
  Remotes.clear();
  Shares.clear();
  Index.clear();
  Order.clear();
}

void TProgramTotalsTable::Settle() const {
  if (Order.size() == Rows.size()) return;
  // Rows are few and new ones rare: each goes in at its place.
  for (auto id = static_cast<std::uint32_t>(Order.size()); id < Rows.size(); ++id)
    Order.insert(std::lower_bound(Order.begin(), Order.end(), id,
                                  [this](std::uint32_t a, std::uint32_t b) { return Before(Rows[a], Rows[b]); }),
                 id);
}

const ProgramTotals& TProgramTotalsTable::Row(int index) const {
  Settle();
  return Rows[Order.at(static_cast<std::size_t>(index))];
}

std::vector<ProgramTotals> TProgramTotalsTable::AllRows() const {
  Settle();
  std::vector<ProgramTotals> rows;
  rows.reserve(Order.size());
  for (const std::uint32_t id : Order) rows.push_back(Rows[id]);
  return rows;
}

const std::unordered_set<TIpAddress, TIpAddressHash>& TProgramTotalsTable::RemotesOf(int index) const {
  Settle();
  return Remotes[Order.at(static_cast<std::size_t>(index))];
}

const TProgramTotalsTable::TShares& TProgramTotalsTable::SharesOf(int index) const {
  Settle();
  return Shares[Order.at(static_cast<std::size_t>(index))];
}

std::vector<ProgramTotals> TopPrograms(std::vector<ProgramTotals> rows, int top) {
  std::stable_sort(rows.begin(), rows.end(), [](const ProgramTotals& a, const ProgramTotals& b) {
    return a.SentBytes + a.RecvBytes > b.SentBytes + b.RecvBytes;
  });
  if (top >= 0 && rows.size() > static_cast<std::size_t>(top)) rows.resize(static_cast<std::size_t>(top));
  return rows;
}

std::vector<ProgramTotals> ByProgram(const std::vector<ProgramTotals>& rows) {
  std::vector<ProgramTotals> out;
  std::unordered_map<std::string, std::size_t> at;
  for (const ProgramTotals& row : rows) {
    const auto [it, added] = at.emplace(row.Program + '\n' + row.User, out.size());
    if (added) {
      out.push_back(row);
    } else {
      out[it->second].SentBytes += row.SentBytes;
      out[it->second].RecvBytes += row.RecvBytes;
    }
  }
  return out;
}

std::vector<ProgramTotals> TopUnits(const std::vector<ProgramTotals>& rows, int top) {
  std::vector<ProgramTotals> units;
  std::unordered_map<std::string, std::size_t> at;
  for (const ProgramTotals& row : rows) {
    if (row.Unit.empty()) continue;
    const auto [it, added] = at.emplace(row.Unit, units.size());
    if (added) units.push_back({row.Unit, {}, 0, 0, 0, 0, 0, {}});
    units[it->second].SentBytes += row.SentBytes;
    units[it->second].RecvBytes += row.RecvBytes;
  }
  return TopPrograms(std::move(units), top);
}

TProgramAttribution::TProgramAttribution(const TIpAddress& localAddr)
    : TProgramAttribution(HostOwnerLookup(localAddr), TLookupPace{}) {}

TProgramAttribution::TProgramAttribution(std::unique_ptr<TOwnerLookup> owners, TLookupPace pace)
    : Owners(std::move(owners)), Pace(pace) {
  Worker = std::thread([this] { Run(); });
}

TProgramAttribution::~TProgramAttribution() {
  {
    std::lock_guard lock(Mutex);
    Stopping = true;
  }
  Wake.notify_all();
  Worker.join();
}

// The two rows of no program are made when first needed, so that an empty
// one is never listed.
std::uint32_t TProgramAttribution::KernelRow() {
  if (Kernel == NoRow) Kernel = Totals.RowOf(std::string(KernelOtherProgram), {});
  return Kernel;
}

std::uint32_t TProgramAttribution::UnknownRow() {
  if (Unknown == NoRow) Unknown = Totals.RowOf(std::string(UnknownProgram), {});
  return Unknown;
}

void TProgramAttribution::SetAnswered(std::function<void()> answered) {
  std::lock_guard lock(Mutex);
  Answered = std::move(answered);
}

void TProgramAttribution::FoldQueue(const TXIoctl& state) {
  if (state.QueueBusy.load(std::memory_order_acquire) != 0) return;
  for (const PacketRecord& record : state.RecordQueue) Fold(record);
}

void TProgramAttribution::Fold(const PacketRecord& record) {
  const bool sent = record.Direction == DirectionSent;
  const std::int64_t s = sent ? record.Length : 0, r = sent ? 0 : record.Length;
  if (record.Protocol != 6 && record.Protocol != 17) return Totals.Add(KernelRow(), record, s, r);
  // Later fragments and cut datagrams name no socket.
  if (record.LocalPort == 0) return Totals.Add(UnknownRow(), record, s, r);
  const TSocketKey key{record.RemoteAddr, record.LocalPort, record.RemotePort, record.Protocol, record.LocalAddr};
  // The key holds the remote address: its row took it when the key was cached.
  if (const auto hit = Cache.find(key); hit != Cache.end()) return Totals.Add(hit->second, record, s, r, true);
  auto parked = Waiting.find(key);
  if (parked == Waiting.end()) {
    if (Waiting.size() + Cache.size() >= MaxKeys) return Totals.Add(UnknownRow(), record, s, r);
    parked = Waiting.emplace(key, TParked{}).first;
    {
      std::lock_guard lock(Mutex);
      Asked.push_back(key);
    }
    Wake.notify_one();
  }
  parked->second.Sent += s;
  parked->second.Received += r;
  parked->second.Last = record;
}

bool TProgramAttribution::Apply() {
  std::vector<std::pair<TSocketKey, TSocketOwner>> answers;
  std::vector<TSocketKey> expired;
  bool broken = false;
  {
    std::lock_guard lock(Mutex);
    answers.swap(Answers);
    expired.swap(Expired);
    broken = Broken;
  }
  // No answer is coming: what waits for one is nobody's that can be told.
  if (broken) {
    for (const auto& [key, parked] : Waiting) Totals.Add(UnknownRow(), parked.Last, parked.Sent, parked.Received);
    const bool changed = !Waiting.empty();
    Waiting.clear();
    Cache.clear();
    return changed;
  }
  for (const TSocketKey& key : expired) Cache.erase(key);
  for (auto& [key, owner] : answers) {
    const auto parked = Waiting.find(key);
    if (parked == Waiting.end()) continue;
    // Where the process could not be looked into, its unit is what names the
    // traffic: "user www-data" of two services is two rows, so that each
    // unit's sum is its own. A named program is one row whatever unit it
    // runs in (the window and the series show it once), the unit it was last
    // seen in beside it. Either way rows stay bounded by the table.
    const bool unnamed = owner.Program == "user " + owner.User;
    const std::uint32_t row =
        owner.Program.empty() ? UnknownRow() : Totals.RowOf(owner.Program, owner.User, unnamed ? owner.Unit : "");
    if (!owner.Program.empty()) Totals.SeenIn(row, owner.Unit);
    Totals.Add(row, parked->second.Last, parked->second.Sent, parked->second.Received);
    Waiting.erase(parked);
    if (owner.Inode != 0) Cache[key] = row;
  }
  return !answers.empty();
}

void TProgramAttribution::Flush(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(Mutex);
    Done.wait_for(lock, timeout, [this] { return (Asked.empty() && !Busy) || Broken; });
  }
  Apply();
}

// Look-up thread. A fault in the look-ups ends them, not the capture: from
// then on, records go to "(unknown)".
void TProgramAttribution::Run() {
  bool finished = false;
  try {
    finished = RunWorker([&] { Work(); });
  } catch (...) {
  }
  if (finished) return;
  {
    std::lock_guard lock(Mutex);
    Broken = true;
    Busy = false;
  }
  Done.notify_all();
}

// Look-up thread: answers the keys asked about, as soon as the pace allows,
// and tells which cached keys' sockets have closed.
void TProgramAttribution::Work() {
  TOwnerLookup& owners = *Owners;
  std::unordered_map<TSocketKey, std::uint64_t, TSocketKeyHash> known;  // answered key -> inode
  const auto expiryPause = Pace.ExpiryPause;
  // The wait before a round for new keys: set by what the last round cost.
  std::chrono::steady_clock::duration pause = Pace.QuickPause;
  auto last = std::chrono::steady_clock::now() - Pace.Pause;
  std::unique_lock lock(Mutex);
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    const bool due = !Asked.empty() ? now >= last + pause : !known.empty() && now >= last + expiryPause;
    if (Stopping) break;
    if (!due) {
      const auto until = !Asked.empty() ? last + pause : last + expiryPause;
      if (Asked.empty() && known.empty())
        Wake.wait(lock);
      else
        Wake.wait_until(lock, until);
      continue;
    }
    std::vector<TSocketKey> asked;
    asked.swap(Asked);
    Busy = true;
    lock.unlock();

    last = std::chrono::steady_clock::now();
    std::vector<std::pair<TSocketKey, TSocketOwner>> answers;
    std::vector<TSocketKey> expired;
    const bool listed = owners.Refresh();
    for (auto it = known.begin(); it != known.end();) {
      // A socket that is closing keeps its datagrams; one that has gone, or
      // whose port another socket now holds, does not.
      const std::uint64_t inode = listed ? owners.InodeOf(it->first) : it->second;
      if (inode == it->second || inode == TOwnerLookup::Closing) {
        ++it;
      } else {
        expired.push_back(it->first);
        it = known.erase(it);
      }
    }
    for (const TSocketKey& key : asked) {
      TSocketOwner owner = listed ? owners.Find(key) : TSocketOwner{};
      // Only a key whose socket is watched here may be cached, or it could
      // never expire.
      if (!owner.Program.empty() && known.size() < MaxKeys)
        known[key] = owner.Inode;
      else
        owner.Inode = 0;
      answers.emplace_back(key, std::move(owner));
    }

    const auto took = std::chrono::steady_clock::now() - last;
    pause = std::clamp<std::chrono::steady_clock::duration>(9 * took, Pace.QuickPause, Pace.Pause);
    lock.lock();
    Busy = false;
    for (auto& answer : answers) Answers.push_back(std::move(answer));
    Expired.insert(Expired.end(), expired.begin(), expired.end());
    const auto answered = Answered;
    Done.notify_all();
    if (answered && (!answers.empty() || !expired.empty())) {
      lock.unlock();
      answered();
      lock.lock();
    }
  }
}
