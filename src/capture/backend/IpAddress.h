#pragma once
// An address of either IP family, as the engine compares, orders and writes
// it. IPv4 keeps its four bytes in network order (so Raw4 is what the C
// library's in_addr holds); IPv6 its sixteen.
#include <array>
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
  TIpAddress(std::uint32_t NetworkOrder) noexcept { std::memcpy(Bytes_.data(), &NetworkOrder, 4); }  // NOLINT

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
  friend bool operator==(const TIpAddress&, const TIpAddress&) noexcept = default;
  friend std::strong_ordering operator<=>(const TIpAddress& a, const TIpAddress& b) noexcept {
    if (a.Six != b.Six) return a.Six ? std::strong_ordering::greater : std::strong_ordering::less;
    const int c = std::memcmp(a.Bytes_.data(), b.Bytes_.data(), 16);
    return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
  }

  // A well-mixed 64-bit value of the address, for hash tables.
  std::uint64_t Hash() const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, Bytes_.data(), 8);
    std::memcpy(&b, Bytes_.data() + 8, 8);
    std::uint64_t x = a ^ (b * 0x9e3779b97f4a7c15ull) ^ (Six ? 0x6a09e667f3bcc909ull : 0);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
  }

 private:
  std::array<std::uint8_t, 16> Bytes_{};
  bool Six = false;
};

struct TIpAddressHash {
  std::size_t operator()(const TIpAddress& a) const noexcept { return static_cast<std::size_t>(a.Hash()); }
};
