#pragma once
// The socket names the engine shares across platforms (inet_pton,
// inet_ntop, htonl, AF_INET): here from the C library.
#include <arpa/inet.h>
#include <netinet/in.h>
