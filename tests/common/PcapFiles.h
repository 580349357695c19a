#pragma once
// Writes small capture files for the tests, in both file formats.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

struct TFrame {
  std::vector<std::uint8_t> Bytes;
  std::uint32_t Seconds = 0;
  std::uint32_t Microseconds = 0;
};

namespace pcapfiles {

inline void Put32(std::ofstream& f, std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); }
inline void Put16(std::ofstream& f, std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); }

}  // namespace pcapfiles

inline void WritePcap(const std::string& path, std::uint32_t linkType, const std::vector<TFrame>& frames) {
  using namespace pcapfiles;
  std::ofstream f(path, std::ios::binary);
  Put32(f, 0xA1B2C3D4);
  Put16(f, 2);
  Put16(f, 4);
  Put32(f, 0);
  Put32(f, 0);
  Put32(f, 262144);
  Put32(f, linkType);
  for (const auto& frame : frames) {
    Put32(f, frame.Seconds);
    Put32(f, frame.Microseconds);
    Put32(f, static_cast<std::uint32_t>(frame.Bytes.size()));
    Put32(f, static_cast<std::uint32_t>(frame.Bytes.size()));
    f.write(reinterpret_cast<const char*>(frame.Bytes.data()), static_cast<std::streamsize>(frame.Bytes.size()));
  }
}

inline void WritePcapNg(const std::string& path, std::uint16_t linkType, const std::vector<TFrame>& frames) {
  using namespace pcapfiles;
  std::ofstream f(path, std::ios::binary);
  // Section header block.
  Put32(f, 0x0A0D0D0A);
  Put32(f, 28);
  Put32(f, 0x1A2B3C4D);
  Put16(f, 1);
  Put16(f, 0);
  Put32(f, 0xFFFFFFFF);
  Put32(f, 0xFFFFFFFF);
  Put32(f, 28);
  // Interface description block (microsecond time stamps by default).
  Put32(f, 1);
  Put32(f, 20);
  Put16(f, linkType);
  Put16(f, 0);
  Put32(f, 262144);
  Put32(f, 20);
  for (const auto& frame : frames) {
    const auto len = static_cast<std::uint32_t>(frame.Bytes.size());
    const std::uint32_t padded = (len + 3) & ~3u;
    const std::uint32_t total = 32 + padded;
    const std::uint64_t stamp = std::uint64_t{frame.Seconds} * 1'000'000 + frame.Microseconds;
    Put32(f, 6);
    Put32(f, total);
    Put32(f, 0);
    Put32(f, static_cast<std::uint32_t>(stamp >> 32));
    Put32(f, static_cast<std::uint32_t>(stamp));
    Put32(f, len);
    Put32(f, len);
    f.write(reinterpret_cast<const char*>(frame.Bytes.data()), len);
    for (std::uint32_t i = len; i < padded; ++i) f.put(0);
    Put32(f, total);
  }
}
