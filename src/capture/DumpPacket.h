#pragma once
// The readable dump of one datagram, written line by line to a text channel.
#include <cstdint>

#include "capture/backend/PacketBytes.h"
#include "support/DateTimeText.h"
#include "support/TextDevs.h"

// With a limit, a dump lists at most this many bytes.
inline constexpr std::int32_t DumpLimitedBytes = 256;

// Writes the dump of Datagram, of which the receive delivered n bytes, to
// Out; limit != 0 lists at most the first 256 bytes. Now is the date and
// time shown. Bytes beyond the view read as 0.
void DumpPacket(TTextChannel& Out, const TPacketView& Datagram, std::int32_t n, std::uint8_t limit,
                const TLocalTime& Now);

// The same with the current local time. Does nothing at all (no clock read,
// no formatting) when Out discards its text. Capture thread.
void DumpPacket(TTextChannel& Out, const TPacketView& Datagram, std::int32_t n, std::uint8_t limit);
