#pragma once
// A reply to a PTR query as the C library's resolver received it, read for
// its name and TTL. Any bytes are safe to give it.
#include <cstddef>

#include "names/NameResolver.h"

TNameAnswer ParsePtrReply(const unsigned char* Message, std::size_t Length);
