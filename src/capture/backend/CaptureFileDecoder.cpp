#include "capture/backend/CaptureFileDecoder.h"

#include <cstring>
#include <utility>

namespace {

constexpr std::uint32_t PcapMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t PcapMagicNano = 0xA1B23C4D;
constexpr std::uint32_t SectionHeaderType = 0x0A0D0D0A;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t InterfaceType = 1;
constexpr std::uint32_t ObsoletePacketType = 2;
constexpr std::uint32_t SimplePacketType = 3;
constexpr std::uint32_t EnhancedPacketType = 6;
constexpr std::size_t PcapHeaderBytes = 24;
constexpr std::size_t PcapRecordBytes = 16;
constexpr std::size_t BlockMinimum = 12;  // type, length, trailing length
// Blocks longer than this are garbage, as the capture library holds them.
constexpr std::uint32_t MaxBlockBytes = 16 * 1024 * 1024;
constexpr std::uint16_t OptionEnd = 0;
constexpr std::uint16_t OptionTimeResolution = 9;

std::uint32_t Swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

std::uint32_t Raw32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint32_t Padded(std::uint32_t length) { return (length + 3) & ~3u; }

}  // namespace

int LinkTypeFromFile(std::uint32_t fileLinkType) {
  // Only the type's own bits; the upper ones describe frame check sequences.
  const std::uint32_t type = fileLinkType & 0x03FFFFFF;
  // Files write raw IP as 101 where the library's own number is 12.
  if (type == 101) return 12;
  return static_cast<int>(type);
}

void TCaptureFileDecoder::Append(const std::uint8_t* data, std::size_t size) {
  // What was decoded is dropped first, so the buffer holds at most one
  // unfinished record or block besides the new bytes.
  if (Offset > 0) {
    Bytes.erase(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(Offset));
    Offset = 0;
  }
  Bytes.insert(Bytes.end(), data, data + size);
}

std::uint16_t TCaptureFileDecoder::Load16(std::size_t at) const {
  std::uint16_t v;
  std::memcpy(&v, Bytes.data() + at, 2);
  return Swapped ? static_cast<std::uint16_t>((v >> 8) | (v << 8)) : v;
}

std::uint32_t TCaptureFileDecoder::Load32(std::size_t at) const {
  const std::uint32_t v = Raw32(Bytes.data() + at);
  return Swapped ? Swap32(v) : v;
}

TCaptureFileDecoder::TState TCaptureFileDecoder::Garble(std::string why) {
  if (Trouble.empty()) Trouble = std::move(why);
  return TState::Garbled;
}

TCaptureFileDecoder::TState TCaptureFileDecoder::Start() {
  if (!Trouble.empty()) return TState::Garbled;
  if (Format == TFormat::Unknown) {
    if (Pending() < 4) return TState::NeedMore;
    const std::uint32_t magic = Raw32(Bytes.data() + Offset);
    if (magic == PcapMagicMicro || magic == PcapMagicNano || Swap32(magic) == PcapMagicMicro ||
        Swap32(magic) == PcapMagicNano) {
      if (Pending() < PcapHeaderBytes) return TState::NeedMore;
      Swapped = magic != PcapMagicMicro && magic != PcapMagicNano;
      Nano = magic == PcapMagicNano || Swap32(magic) == PcapMagicNano;
      SnapLength = Load32(Offset + 16);
      // A snapshot length of 0, or one beyond any record, cuts nothing.
      if (SnapLength == 0 || SnapLength > MaxRecordBytes) SnapLength = MaxRecordBytes;
      FirstLinkType = LinkTypeFromFile(Load32(Offset + 20));
      Format = TFormat::Pcap;
      Offset += PcapHeaderBytes;
    } else if (magic == SectionHeaderType) {
      Format = TFormat::PcapNg;
    } else {
      return Garble("unknown file format");
    }
  }
  // A pcapng file names its first link type in the blocks before its first
  // packet.
  while (FirstLinkType < 0) {
    if (Pending() < 8) return TState::NeedMore;
    const std::uint32_t type = Raw32(Bytes.data() + Offset);
    if (type != SectionHeaderType && type != InterfaceType && Swap32(type) != InterfaceType) break;
    TRecord none;
    const TState state = NextPcapNg(none, true);
    if (state != TState::Record) return state;
  }
  return FirstLinkType < 0 ? TState::NeedMore : TState::Record;
}

TCaptureFileDecoder::TState TCaptureFileDecoder::Next(TRecord& record) {
  if (Format == TFormat::Unknown || (Format == TFormat::PcapNg && FirstLinkType < 0)) {
    const TState state = Start();
    if (state == TState::Garbled) return state;
    if (Format == TFormat::Unknown) return TState::NeedMore;
  }
  if (!Trouble.empty()) return TState::Garbled;
  return Format == TFormat::Pcap ? NextPcap(record) : NextPcapNg(record, false);
}

void TCaptureFileDecoder::Fill(TRecord& record, const TInterface& interface, std::uint64_t stamp, std::size_t data,
                               std::uint32_t captured) const {
  const std::uint64_t units = interface.UnitsPerSecond;
  const std::uint64_t fraction = stamp % units;
  record.Seconds = static_cast<std::int64_t>(stamp / units);
  if (units == 1000000)
    record.Microseconds = static_cast<std::int64_t>(fraction);
  else if (units > 1000000 && units % 1000000 == 0)
    record.Microseconds = static_cast<std::int64_t>(fraction / (units / 1000000));
  else if (units < 1000000 && 1000000 % units == 0)
    record.Microseconds = static_cast<std::int64_t>(fraction * (1000000 / units));
  else
    record.Microseconds =
        static_cast<std::int64_t>(static_cast<long double>(fraction) * 1000000.0L / static_cast<long double>(units));
  record.LinkType = interface.LinkType;
  record.Data = Bytes.data() + data;
  record.Length = interface.SnapLength != 0 && captured > interface.SnapLength ? interface.SnapLength : captured;
}

TCaptureFileDecoder::TState TCaptureFileDecoder::NextPcap(TRecord& record) {
  if (Pending() < PcapRecordBytes) return TState::NeedMore;
  const std::uint32_t captured = Load32(Offset + 8);
  if (captured > MaxRecordBytes)
    return Garble("invalid packet capture length " + std::to_string(captured) + ", bigger than maximum of " +
                  std::to_string(MaxRecordBytes));
  if (Pending() - PcapRecordBytes < captured) return TState::NeedMore;
  // The time stamp's halves as the capture library widens them: signed as
  // written in this machine's order, unsigned once swapped.
  const auto widen = [this](std::uint32_t v) -> std::int64_t {
    return Swapped ? std::int64_t{v} : std::int64_t{static_cast<std::int32_t>(v)};
  };
  record.Seconds = widen(Load32(Offset));
  const std::int64_t fraction = widen(Load32(Offset + 4));
  record.Microseconds = Nano ? fraction / 1000 : fraction;
  record.LinkType = FirstLinkType;
  record.Data = Bytes.data() + Offset + PcapRecordBytes;
  record.Length = captured > SnapLength ? SnapLength : captured;
  Offset += PcapRecordBytes + captured;
  return TState::Record;
}

bool TCaptureFileDecoder::ReadInterface(std::size_t body, std::size_t bodyLength) {
  if (bodyLength < 8) return false;
  TInterface interface;
  interface.LinkType = LinkTypeFromFile(Load16(body));
  interface.SnapLength = Load32(body + 4);
  // Options: code, length, value padded to four bytes.
  std::size_t at = body + 8;
  const std::size_t end = body + bodyLength;
  while (end - at >= 4) {
    const std::uint16_t code = Load16(at);
    const std::uint16_t length = Load16(at + 2);
    if (code == OptionEnd) break;
    if (end - at - 4 < Padded(length)) return false;
    if (code == OptionTimeResolution && length >= 1) {
      const std::uint8_t resolution = Bytes[at + 4];
      const unsigned exponent = resolution & 0x7F;
      // Beyond 2^63 or 10^19 units a second the stamps cannot be read.
      if ((resolution & 0x80) ? exponent > 63 : exponent > 19) return false;
      std::uint64_t units = 1;
      for (unsigned i = 0; i < exponent; ++i) units *= (resolution & 0x80) ? 2 : 10;
      interface.UnitsPerSecond = units;
    }
    at += 4 + Padded(length);
  }
  if (FirstLinkType < 0) FirstLinkType = interface.LinkType;
  Interfaces.push_back(interface);
  return true;
}

TCaptureFileDecoder::TState TCaptureFileDecoder::NextPcapNg(TRecord& record, bool oneBlock) {
  for (;;) {
    if (Pending() < BlockMinimum) return TState::NeedMore;
    const std::uint32_t type = Raw32(Bytes.data() + Offset);
    if (type == SectionHeaderType) {
      // A new section may change the byte order; its interfaces start anew.
      if (Pending() < BlockMinimum + 4) return TState::NeedMore;
      const std::uint32_t order = Raw32(Bytes.data() + Offset + 8);
      if (order == ByteOrderMagic)
        Swapped = false;
      else if (Swap32(order) == ByteOrderMagic)
        Swapped = true;
      else
        return Garble("unknown file format");
      Interfaces.clear();
    }
    const std::uint32_t length = Load32(Offset + 4);
    if (length < BlockMinimum || length % 4 != 0 || length > MaxBlockBytes)
      return Garble("block of type " + std::to_string(Load32(Offset)) + " has a bad length " +
                    std::to_string(length));
    if (Pending() < length) return TState::NeedMore;
    if (Load32(Offset + length - 4) != length) return Garble("a block's two lengths differ");
    const std::size_t body = Offset + 8;
    const std::size_t bodyLength = length - BlockMinimum;
    const std::uint32_t blockType = Load32(Offset);
    Offset += length;
    switch (blockType) {
      case InterfaceType:
        if (!ReadInterface(body, bodyLength)) return Garble("an interface description is garbled");
        break;
      case EnhancedPacketType:
      case ObsoletePacketType: {
        if (bodyLength < 20) return Garble("a packet block is too short");
        const std::uint32_t id =
            blockType == EnhancedPacketType ? Load32(body) : static_cast<std::uint32_t>(Load16(body));
        if (id >= Interfaces.size()) return Garble("a packet names interface " + std::to_string(id) + ", not described");
        const std::uint64_t stamp = (std::uint64_t{Load32(body + 4)} << 32) | Load32(body + 8);
        const std::uint32_t captured = Load32(body + 12);
        if (captured > bodyLength - 20 || captured > MaxRecordBytes) return Garble("a packet block is garbled");
        Fill(record, Interfaces[id], stamp, body + 20, captured);
        return TState::Record;
      }
      case SimplePacketType: {
        if (bodyLength < 4 || Interfaces.empty()) return Garble("a simple packet block is garbled");
        const std::uint32_t original = Load32(body);
        std::uint32_t captured = original < bodyLength - 4 ? original : static_cast<std::uint32_t>(bodyLength - 4);
        if (captured > MaxRecordBytes) captured = MaxRecordBytes;
        // No time stamp: the capture library gives 0.
        Fill(record, Interfaces[0], 0, body + 4, captured);
        return TState::Record;
      }
      default:
        break;  // statistics, names, comments: nothing the count needs
    }
    if (oneBlock) return TState::Record;
  }
}
