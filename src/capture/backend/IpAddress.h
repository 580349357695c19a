#pragma once
// An address of either IP family, as the engine compares, orders and writes
// it. IPv4 keeps its four bytes in network order (so Raw4 is what the C
// library's in_addr holds); IPv6 its sixteen.
#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class TIpAddress {
 public:
  constexpr TIpAddress() noexcept = default;
  // An IPv4 address in network order, as the engine held addresses before it
  // knew IPv6: converts without ceremony.
  // The 16 bytes are written in one piece: a copy read right after them then
  // takes them from that store, where four bytes into zeroes would stall it.
  TIpAddress(std::uint32_t NetworkOrder) noexcept {  // NOLINT
    const std::uint64_t words[2] = {
        std::endian::native == std::endian::little ? std::uint64_t{NetworkOrder} : std::uint64_t{NetworkOrder} << 32, 0};
    std::memcpy(Bytes_.data(), words, 16);
  }

  static TIpAddress V4(std::uint32_t NetworkOrder) noexcept { return TIpAddress(NetworkOrder); }
  static TIpAddress V6(const std::uint8_t* Bytes16) noexcept {
    TIpAddress a;
    a.Six = true;
    std::memcpy(a.Bytes_.data(), Bytes16, 16);
    return a;
  }

  bool IsV6() const noexcept { return Six; }
  // The IPv4 address in network order; 0 for an IPv6 one.
  std::uint32_t Raw4() const noexcept {
    if (Six) return 0;
    std::uint32_t v;
    std::memcpy(&v, Bytes_.data(), 4);
    return v;
  }
  const std::uint8_t* Bytes() const noexcept { return Bytes_.data(); }
  std::size_t Size() const noexcept { return Six ? 16 : 4; }
  bool IsLinkLocal() const noexcept { return Six && Bytes_[0] == 0xfe && (Bytes_[1] & 0xc0) == 0x80; }

  // As inet_ntop writes it (dotted for IPv4, RFC 5952 for IPv6).
  std::string Text() const;
  // Dotted IPv4 or IPv6 text, with a "%scope" after an IPv6 one put in Scope.
  static bool Parse(std::string_view Text, TIpAddress& Address, std::string* Scope = nullptr);

  // IPv4 addresses in numeric order first, then IPv6 in numeric order.
  friend bool operator==(const TIpAddress& a, const TIpAddress& b) noexcept {
    return a.Six == b.Six && a.Word(0) == b.Word(0) && a.Word(1) == b.Word(1);
  }
  friend std::strong_ordering operator<=>(const TIpAddress& a, const TIpAddress& b) noexcept {
    if (a.Six != b.Six) return a.Six ? std::strong_ordering::greater : std::strong_ordering::less;
    if (a.Word(0) != b.Word(0)) return a.Number(0) <=> b.Number(0);
    return a.Number(1) <=> b.Number(1);
  }

  // A 64-bit value of the address for hash tables: an IPv4 address is its
  // own (as the tables hashed it before IPv6), an IPv6 one is mixed.
  std::uint64_t Hash() const noexcept {
    if (!Six) return Raw4();
    std::uint64_t x = Word(0) ^ (Word(1) * 0x9e3779b97f4a7c15ull) ^ 0x6a09e667f3bcc909ull;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
  }

 private:
  // Half of the bytes as they stand in memory, and as a number.
  std::uint64_t Word(std::size_t half) const noexcept {
    std::uint64_t w;
    std::memcpy(&w, Bytes_.data() + 8 * half, 8);
    return w;
  }
  std::uint64_t Number(std::size_t half) const noexcept {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(Word(half));
    return Word(half);
  }

  std::array<std::uint8_t, 16> Bytes_{};
  bool Six = false;
};

struct TIpAddressHash {
  std::size_t operator()(const TIpAddress& a) const noexcept { return static_cast<std::size_t>(a.Hash()); }
};
