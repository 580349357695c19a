#pragma once
// The host's addresses of both families and the interfaces that own them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "capture/backend/IpAddress.h"

struct THostAddress {
  std::string Interface;
  TIpAddress Addr;
  bool Up = false;
  bool Loopback = false;
};

// Every IPv4 and IPv6 address of every interface, in the system's order;
// false when the system will not list them.
bool SystemIpAddresses(std::vector<THostAddress>& Addresses);

// Whether this platform's capture can watch a whole interface.
extern const bool WholeInterfaceCapture;

// Where the capture engine takes the host's addresses from: the system's by
// default, a fixed list in tests.
using THostAddressSource = std::function<bool(std::vector<THostAddress>& Addresses)>;

// The addresses a user can capture on: interfaces that are up, IPv4 before
// IPv6; in each family the machine's real addresses first in the system's
// order, then loopback ones while the list holds fewer than Limit, so
// loopback never crowds out a real address; each address once.
std::vector<TIpAddress> CaptureAddresses(const std::vector<THostAddress>& Addresses,
                                            std::size_t Limit = std::numeric_limits<std::size_t>::max());

// The interface that owns Addr, up or not; empty when none does.
std::string InterfaceOwning(const std::vector<THostAddress>& Addresses, const TIpAddress& Addr);

// Every address of the interface called Interface, IPv4 before IPv6, each
// once: what a capture of the whole interface watches.
std::vector<TIpAddress> InterfaceAddresses(const std::vector<THostAddress>& Addresses, const std::string& Interface);

// The interfaces that are up and hold an address, in the order their first
// address is listed in: the adapter list's entries for whole interfaces.
std::vector<std::string> CaptureInterfaces(const std::vector<THostAddress>& Addresses);

// An address as the adapter list shows it: a link-local IPv6 address with its
// interface as scope (fe80::1%eth0).
std::string ScopedText(const TIpAddress& Addr, const std::string& Interface);
