#pragma once
// Bounds-checked reads of datagram bytes. Every byte the engine reads from a
// datagram goes through here; a read past the delivered bytes yields 0, which
// is what a zero-cleared receive buffer gives.
#include <cstddef>
#include <cstdint>
#include <cstring>

class TPacketView {
 public:
  constexpr TPacketView() noexcept = default;
  constexpr TPacketView(const std::uint8_t* data, std::size_t size) noexcept : Data(data), Size(size) {}

  constexpr std::size_t Length() const noexcept { return Size; }
  constexpr const std::uint8_t* Bytes() const noexcept { return Data; }

  constexpr std::uint8_t U8(std::size_t offset) const noexcept { return offset < Size ? Data[offset] : 0; }
  constexpr std::uint16_t BE16(std::size_t offset) const noexcept {
    return static_cast<std::uint16_t>((U8(offset) << 8) | U8(offset + 1));
  }
  // Four bytes as they stand in memory (network byte order), as socket
  // addresses and the adapter table hold them.
  std::uint32_t Raw32(std::size_t offset) const noexcept {
    if (offset + 4 <= Size) {
      std::uint32_t v;
      std::memcpy(&v, Data + offset, 4);
      return v;
    }
    std::uint8_t b[4] = {U8(offset), U8(offset + 1), U8(offset + 2), U8(offset + 3)};
    std::uint32_t v;
    std::memcpy(&v, b, 4);
    return v;
  }

 private:
  const std::uint8_t* Data = nullptr;
  std::size_t Size = 0;
};

// IPv4 header fields the engine uses.
inline std::uint16_t IpTotalLength(const TPacketView& p) noexcept { return p.BE16(2); }
inline std::uint8_t IpProtocol(const TPacketView& p) noexcept { return p.U8(9); }
inline std::uint32_t IpSourceAddr(const TPacketView& p) noexcept { return p.Raw32(12); }
inline std::uint32_t IpDestAddr(const TPacketView& p) noexcept { return p.Raw32(16); }
// Ports are read at fixed offsets 20..23, right behind a 20-byte header,
// whatever the header length or fragment offset says. This is deliberate:
// datagrams with options and later fragments are classified by those bytes.
inline std::uint16_t SourcePort(const TPacketView& p) noexcept { return p.BE16(20); }
inline std::uint16_t DestPort(const TPacketView& p) noexcept { return p.BE16(22); }
