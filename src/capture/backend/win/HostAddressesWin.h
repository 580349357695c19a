#pragma once
// The host's addresses as a Winsock address-list query gives them.
#include <vector>

#include "capture/backend/HostAddresses.h"
#include "capture/backend/win/WinsockCalls.h"

// Starts Winsock, asks a raw IPv4 probe socket for the address list, and
// reads the reply; false when the socket or the query fails.
bool HostIpv4Addresses(TWinsockCalls& Calls, std::vector<THostAddress>& Addresses);
