#include "capture/DumpPacket.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

#include "capture/backend/IpDatagram.h"
#include "catalogue/Global.h"

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr std::size_t BytesPerLine = 16;
constexpr std::int32_t MaxIpSize = 65535;

// How one datagram byte shows in the character column. The old 8-bit code
// page showed 0xA1..0xDF as half-width katakana; in UTF-8 those are
// U+FF61..U+FF9F, three bytes each.
struct TCharCell {
  std::array<char, 3> Bytes{};
  std::uint8_t Length = 0;
};

constexpr std::array<TCharCell, 256> MakeCharCells() {
  std::array<TCharCell, 256> cells{};
  for (unsigned b = 0; b < 256; ++b) {
    TCharCell& cell = cells[b];
    if (b >= 0x20 && b <= 0x7E) {
      cell.Bytes[0] = static_cast<char>(b);
      cell.Length = 1;
    } else if (b >= 0xA1 && b <= 0xDF) {
      const unsigned cp = 0xFF61 + (b - 0xA1);
      cell.Bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      cell.Bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      cell.Bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      cell.Length = 3;
    } else {
      cell.Bytes[0] = '.';
      cell.Length = 1;
    }
  }
  return cells;
}

constexpr std::array<TCharCell, 256> CharCells = MakeCharCells();

void AppendHex8(std::string& s, std::uint32_t v) {
  for (int shift = 28; shift >= 0; shift -= 4) s.push_back(HexDigits[(v >> shift) & 0xF]);
}

void AppendDecimal(std::string& s, unsigned v) {
  char buf[10];
  std::size_t n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) s.push_back(buf[--n]);
}

void AppendDottedAddress(std::string& s, const TPacketView& p, std::size_t offset) {
  for (std::size_t k = 0; k < 4; ++k) {
    if (k != 0) s.push_back('.');
    AppendDecimal(s, p.U8(offset + k));
  }
}

}  // namespace

void DumpPacket(TTextChannel& Out, const TPacketView& Datagram, std::int32_t n, std::uint8_t limit,
                const TLocalTime& Now) {
  std::string line;
  line.reserve(8 + 1 + 2 * BytesPerLine + 3 + 3 * BytesPerLine);

  // The length as the receive reported it, bit for bit, even if it is
  // nonsense (negative): the dump is a diagnostic.
  line.assign("--- (Length=");
  AppendHex8(line, static_cast<std::uint32_t>(n));
  line.append(")-------------------------");
  Out.WriteLine(line);

  if (n > MaxIpSize) Out.WriteLine("Length > MAX_IP_SIZE");

  char dateText[80];
  const int dateLength = std::snprintf(dateText, sizeof dateText, "%d/%2d/%2d %2d:%2d:%2d Protocol: ",
                                       Now.Year, Now.Month, Now.Day, Now.Hour, Now.Minute, Now.Second);
  // The fields are 16-bit, so the text always fits; clamp all the same.
  std::size_t dateUsed = dateLength > 0 ? static_cast<std::size_t>(dateLength) : 0;
  if (dateUsed >= sizeof dateText) dateUsed = sizeof dateText - 1;
  // An IPv6 datagram shows its upper layer, its addresses as text and the
  // ports behind its extension headers (0 where it has none).
  const bool six = IpVersion(Datagram) == 6;
  const TIpv6Upper upper = six ? Ipv6UpperLayer(Datagram) : TIpv6Upper{};
  line.assign(dateText, dateUsed);
  // The old table knows no ICMPv6 (58 is unassigned in it).
  if (six && upper.Protocol == 58)
    line.append("ICMPv6");
  else
    line.append(ProtocolNameText(six ? upper.Protocol : IpProtocol(Datagram)));
  line.push_back(' ');
  Out.WriteLine(line);

  line.assign("Source Address: ");
  if (six)
    line.append(Ipv6SourceAddr(Datagram).Text());
  else
    AppendDottedAddress(line, Datagram, 12);
  line.push_back(' ');
  Out.WriteLine(line);

  line.assign("Destination Address: ");
  if (six)
    line.append(Ipv6DestAddr(Datagram).Text());
  else
    AppendDottedAddress(line, Datagram, 16);
  line.push_back(' ');
  Out.WriteLine(line);

  // Written for every protocol, from the bytes where TCP and UDP keep ports.
  line.assign("Source Port: ");
  AppendDecimal(line, six ? upper.Source : SourcePort(Datagram));
  line.append("  Destination Port: ");
  AppendDecimal(line, six ? upper.Dest : DestPort(Datagram));
  Out.WriteLine(line);

  std::int32_t listed = n < 0 ? 0 : n;
  if (n > DumpLimitedBytes && limit != 0) listed = DumpLimitedBytes;
  const auto count = static_cast<std::size_t>(listed);

  for (std::size_t offset = 0; offset < count; offset += BytesPerLine) {
    const std::size_t run = count - offset < BytesPerLine ? count - offset : BytesPerLine;
    line.clear();
    AppendHex8(line, static_cast<std::uint32_t>(offset));
    line.push_back(':');
    for (std::size_t k = 0; k < run; ++k) {
      const std::uint8_t b = Datagram.U8(offset + k);
      line.push_back(HexDigits[b >> 4]);
      line.push_back(HexDigits[b & 0xF]);
    }
    line.append(2 * (BytesPerLine - run), ' ');
    line.append(" | ");
    for (std::size_t k = 0; k < run; ++k) {
      const TCharCell& cell = CharCells[Datagram.U8(offset + k)];
      line.append(cell.Bytes.data(), cell.Length);
    }
    Out.WriteLine(line);
  }
}

void DumpPacket(TTextChannel& Out, const TPacketView& Datagram, std::int32_t n, std::uint8_t limit) {
  // Nobody will see the text: spare the capture loop the clock and the work.
  if (!Out.WantsText()) return;
  DumpPacket(Out, Datagram, n, limit, GetLocalTime());
}
