#pragma once
// The seam over the system's resolver: one reverse (PTR) look-up of an
// address, blocking, with how long its answer may be kept. One
// implementation per platform, chosen by the file list.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/backend/IpAddress.h"

struct TNameAnswer {
  enum class TKind {
    Named,   // Name holds the host name
    NoName,  // the address has no name (NXDOMAIN, or no PTR record)
    Failed,  // no answer: no server, a timeout, a server failure
  };
  TKind Kind = TKind::Failed;
  std::string Name;  // without its final dot
  // The record's TTL; for NoName, the zone's negative TTL when the server
  // sent its SOA; -1 when not known.
  std::int64_t TtlSeconds = -1;
};

class TNameResolver {
 public:
  virtual ~TNameResolver() = default;
  // Called on several look-up threads at once.
  virtual TNameAnswer Reverse(const TIpAddress& Addr) = 0;
};

// The resolver this host is configured with.
std::unique_ptr<TNameResolver> MakeSystemResolver();

// The name a PTR query asks for: "4.3.2.1.in-addr.arpa", or the 32 nibbles
// of an IPv6 address in reverse before "ip6.arpa".
std::string ReverseQueryName(const TIpAddress& Addr);
