// Reverse look-ups through the C library's resolver (libresolv): it reads
// /etc/resolv.conf, and its message parser gives the TTLs that getnameinfo
// would hide.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "names/PtrReply.h"

namespace {

// A resolver state per look-up: the functions that take one are the
// thread-safe ones, and /etc/resolv.conf is read anew each time, so a changed
// network is followed.
struct TResolverState {
  struct __res_state State{};
  bool Ready = false;
  TResolverState() {
    Ready = res_ninit(&State) == 0;
    // A name is not worth a long wait: one second per server, two rounds.
    State.retrans = 1;
    State.retry = 2;
  }
  ~TResolverState() {
    if (Ready) res_nclose(&State);
  }
  TResolverState(const TResolverState&) = delete;
  TResolverState& operator=(const TResolverState&) = delete;
};

// The negative TTL an SOA record gives: the smaller of its own TTL and its
// MINIMUM field (the last of the five numbers after the two names).
std::int64_t NegativeTtl(const ns_msg& message, const ns_rr& rr) {
  const unsigned char* at = ns_rr_rdata(rr);
  const unsigned char* end = at + ns_rr_rdlen(rr);
  for (int name = 0; name < 2; ++name) {
    const unsigned char* cursor = at;
    if (ns_name_skip(&cursor, end) < 0) return -1;
    at = cursor;
  }
  if (end - at < 20 || end > ns_msg_end(message)) return -1;
  const auto minimum = static_cast<std::int64_t>(ns_get32(at + 16));
  return std::min<std::int64_t>(minimum, ns_rr_ttl(rr));
}

}  // namespace

TNameAnswer ParsePtrReply(const unsigned char* message, std::size_t length) {
  TNameAnswer answer;
  ns_msg msg;
  if (length == 0 || length > NS_MAXMSG || ns_initparse(message, static_cast<int>(length), &msg) < 0) return answer;
  const int rcode = ns_msg_getflag(msg, ns_f_rcode);
  if (rcode != ns_r_noerror && rcode != ns_r_nxdomain) return answer;
  std::int64_t chainTtl = -1;
  if (rcode == ns_r_noerror) {
    for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
      ns_rr rr;
      if (ns_parserr(&msg, ns_s_an, i, &rr) < 0) return answer;
      // A classless delegation answers with a CNAME before the PTR: the
      // answer lives as long as the shortest of them.
      chainTtl = chainTtl < 0 ? ns_rr_ttl(rr) : std::min<std::int64_t>(chainTtl, ns_rr_ttl(rr));
      if (ns_rr_type(rr) != ns_t_ptr || ns_rr_class(rr) != ns_c_in) continue;
      char name[NS_MAXDNAME];
      if (ns_name_uncompress(ns_msg_base(msg), ns_msg_end(msg), ns_rr_rdata(rr), name, sizeof name) < 0) return answer;
      std::string text = name;
      while (text.ends_with('.')) text.pop_back();
      // No host name is longer; one that is (its odd bytes escaped) is not
      // worth a place in the cache.
      if (text.empty() || text.size() > 253) continue;
      answer.Name = std::move(text);
      answer.Kind = TNameAnswer::TKind::Named;
      answer.TtlSeconds = chainTtl;
      return answer;
    }
  }
  answer.Kind = TNameAnswer::TKind::NoName;
  for (int i = 0; i < ns_msg_count(msg, ns_s_ns); ++i) {
    ns_rr rr;
    if (ns_parserr(&msg, ns_s_ns, i, &rr) < 0) break;
    if (ns_rr_type(rr) == ns_t_soa) {
      answer.TtlSeconds = NegativeTtl(msg, rr);
      break;
    }
  }
  return answer;
}

namespace {

class TResolvNameResolver final : public TNameResolver {
 public:
  // A look-up thread.
  TNameAnswer Reverse(const TIpAddress& addr) override {
    TResolverState resolver;
    if (!resolver.Ready) return {};
    const std::string name = ReverseQueryName(addr);
    std::array<unsigned char, NS_PACKETSZ> query{};
    const int queryLength = res_nmkquery(&resolver.State, ns_o_query, name.c_str(), ns_c_in, ns_t_ptr, nullptr, 0,
                                         nullptr, query.data(), static_cast<int>(query.size()));
    if (queryLength < 0) return {};
    // Sent rather than res_nquery'd, so that a negative answer's SOA is
    // still there to be read.
    std::array<unsigned char, NS_MAXMSG> reply;
    const int length = res_nsend(&resolver.State, query.data(), queryLength, reply.data(), static_cast<int>(reply.size()));
    if (length < 0) return {};
    return ParsePtrReply(reply.data(), std::min(static_cast<std::size_t>(length), reply.size()));
  }
};

}  // namespace

std::unique_ptr<TNameResolver> MakeSystemResolver() { return std::make_unique<TResolvNameResolver>(); }
