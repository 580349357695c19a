#pragma once
// The host's IPv4 addresses and the interfaces that own them.
#include <cstdint>
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

// The addresses a user can capture on: interfaces that are up, the machine's
// real addresses first in the system's order, then loopback ones; each
// address once.
std::vector<std::uint32_t> CaptureAddresses(const std::vector<THostAddress>& Addresses);

// The interface that owns Addr, up or not; empty when none does.
std::string InterfaceOwning(const std::vector<THostAddress>& Addresses, std::uint32_t Addr);
