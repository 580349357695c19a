// Dumps arbitrary bytes with an arbitrary reported length and checks the
// shape of what comes out: the line count, and each listing line's offset,
// hex digits and separator against the bytes the view holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/DumpPacket.h"

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The view covers exactly the fuzzer's bytes; control values are read
  // from the same bytes, which the dump may also see.
  const TPacketView view(data, size);
  const std::uint8_t mode = view.U8(0);
  const std::uint8_t limit = mode & 1;
  std::int32_t n = static_cast<std::int32_t>(size);
  if ((mode & 2) != 0) {
    // Reported lengths that disagree with the bytes: negative, beyond the
    // view, beyond the largest IP datagram.
    const std::uint32_t raw = (std::uint32_t{view.U8(1)} << 16) | (std::uint32_t{view.U8(2)} << 8) | view.U8(3);
    // Mostly short lengths around the limit of 256; now and then long ones
    // up to just beyond 65,535 (those list thousands of lines, so they are
    // kept rarer to leave time for the rest).
    n = (mode & 0x1C) == 0x1C ? static_cast<std::int32_t>(raw % 67600) - 2048
                              : static_cast<std::int32_t>(raw % 700) - 100;
  }
  TLocalTime now;
  now.Year = view.BE16(4);
  now.Month = view.BE16(6);
  now.Day = view.BE16(8);
  now.Hour = view.BE16(10);
  now.Minute = view.BE16(12);
  now.Second = view.BE16(14);

  TStringLineList list;
  TTextChannel channel;
  channel.AssignLinesDevice(list);
  channel.Rewrite();
  DumpPacket(channel, view, n, limit, now);
  channel.Close();

  std::size_t listed = n < 0 ? 0 : static_cast<std::size_t>(n);
  if (n > 256 && limit != 0) listed = 256;
  const std::size_t head = n > 65535 ? 6 : 5;
  const std::vector<std::string>& lines = list.Lines;
  Require(lines.size() == head + (listed + 15) / 16);

  for (std::size_t row = 0; row * 16 < listed; ++row) {
    const std::string& line = lines[head + row];
    const std::size_t offset = row * 16;
    const std::size_t run = listed - offset < 16 ? listed - offset : 16;
    Require(line.size() >= 44 + run);
    for (std::size_t k = 0; k < 8; ++k) Require(line[k] == HexDigits[(offset >> (28 - 4 * k)) & 0xF]);
    Require(line[8] == ':');
    for (std::size_t k = 0; k < run; ++k) {
      const std::uint8_t b = view.U8(offset + k);
      Require(line[9 + 2 * k] == HexDigits[b >> 4]);
      Require(line[10 + 2 * k] == HexDigits[b & 0xF]);
    }
    for (std::size_t k = 9 + 2 * run; k < 41; ++k) Require(line[k] == ' ');
    Require(line.compare(41, 3, " | ") == 0);
  }
  return 0;
}
