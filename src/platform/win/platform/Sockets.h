#pragma once
// The socket names the engine shares across platforms (inet_pton,
// inet_ntop, htonl, AF_INET): here from Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>
