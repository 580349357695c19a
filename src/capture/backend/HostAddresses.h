#pragma once
// The host's IPv4 addresses and the interfaces that own them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

struct THostAddress {
  std::string Interface;
  std::uint32_t Addr = 0;  // network byte order
  bool Up = false;
  bool Loopback = false;
};

// Every IPv4 address of every interface, in the system's order; false when
// the system will not list them.
bool SystemIpv4Addresses(std::vector<THostAddress>& Addresses);

// Where the capture engine takes the host's addresses from: the system's by
// default, a fixed list in tests.
using THostAddressSource = std::function<bool(std::vector<THostAddress>& Addresses)>;

// The addresses a user can capture on: interfaces that are up, the machine's
// real addresses first in the system's order, then loopback ones while the
// list holds fewer than Limit, so loopback never crowds out a real address;
// each address once.
std::vector<std::uint32_t> CaptureAddresses(const std::vector<THostAddress>& Addresses,
                                            std::size_t Limit = std::numeric_limits<std::size_t>::max());

// The interface that owns Addr, up or not; empty when none does.
std::string InterfaceOwning(const std::vector<THostAddress>& Addresses, std::uint32_t Addr);
