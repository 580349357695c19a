#pragma once
// A capture file whose packet dump is kept as a golden text, and the helpers
// that compare a dump with it. The date and time in a dump are the clock's at
// capture time, so they are checked for their shape and then masked.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/Datagrams.h"
#include "common/PcapFiles.h"
#include "capture/XIoctlUnit.h"
#include "support/TextDevs.h"

#ifndef WIREPEEK_TEST_DATA
#error "WIREPEEK_TEST_DATA must name the tests' data folder"
#endif

inline std::vector<std::uint8_t> GoldenEthernet(const std::vector<std::uint8_t>& ip) {
  std::vector<std::uint8_t> frame(12, 0x02);
  frame.push_back(0x08);
  frame.push_back(0x00);
  frame.insert(frame.end(), ip.begin(), ip.end());
  if (frame.size() < 60) frame.resize(60, 0);
  return frame;
}

// Every byte value once in a while, so the character column meets the
// katakana range and its neighbours.
inline std::vector<std::uint8_t> WithPayload(std::vector<std::uint8_t> ip, std::uint8_t seed) {
  for (std::size_t i = 24; i < ip.size(); ++i) ip[i] = static_cast<std::uint8_t>(seed + i * 37);
  return ip;
}

// The frames, seen from 10.0.0.2.
inline std::vector<TFrame> GoldenTraffic() {
  std::vector<TFrame> frames;
  const auto add = [&](const TDatagramSpec& spec, std::uint8_t seed = 0) {
    frames.push_back({GoldenEthernet(WithPayload(MakeDatagram(spec), seed)),
                      1767603903 + static_cast<std::uint32_t>(frames.size()), 0});
  };
  add({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.1.2.3", .SourcePort = 40000, .DestPort = 53,
       .TotalLength = 60, .Delivered = 60}, 1);
  add({.Protocol = 6, .Source = "192.168.0.10", .Dest = "10.0.0.2", .SourcePort = 80, .DestPort = 1025,
       .TotalLength = 40, .Delivered = 40});
  add({.Protocol = 1, .Source = "192.168.0.10", .Dest = "10.0.0.2", .TotalLength = 28, .Delivered = 28}, 2);
  add({.Protocol = 200, .Source = "10.0.0.2", .Dest = "10.0.0.9", .SourcePort = 7, .DestPort = 9,
       .TotalLength = 48, .Delivered = 48}, 3);
  add({.Protocol = 6, .Source = "10.0.0.2", .Dest = "172.16.5.4", .TotalLength = 16, .Delivered = 16});
  add({.Protocol = 6, .Source = "172.16.5.4", .Dest = "10.0.0.2", .SourcePort = 443, .DestPort = 50000,
       .TotalLength = 1500, .Delivered = 1500}, 4);
  add({.Protocol = 17, .Source = "10.0.0.7", .Dest = "10.0.0.8", .SourcePort = 53, .DestPort = 53,
       .TotalLength = 200, .Delivered = 200}, 5);
  add({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.1.2.3", .SourcePort = 137, .DestPort = 137,
       .TotalLength = 256, .Delivered = 256}, 6);
  add({.Protocol = 17, .Source = "9.1.2.3", .Dest = "10.0.0.2", .SourcePort = 25, .DestPort = 3000,
       .TotalLength = 300, .Delivered = 300}, 7);
  add({.Protocol = 6, .Source = "10.0.0.2", .Dest = "10.0.0.2", .SourcePort = 1025, .DestPort = 110,
       .TotalLength = 52, .Delivered = 52}, 8);
  add({.Protocol = 47, .Source = "10.0.0.2", .Dest = "9.9.9.9", .TotalLength = 576, .Delivered = 576}, 9);
  return frames;
}
// Frames above that are dumped (all but the one between two other hosts).
inline constexpr int DumpedInGoldenTraffic = 10;

inline const std::regex& DateLinePattern() {
  static const std::regex pattern(R"(^\d{4}/[ 1]\d/[ 123]\d [ 12]\d:[ 0-5]\d:[ 0-5]\d Protocol: .*)");
  return pattern;
}

inline int DateLinesSeen(const std::vector<std::string>& lines) {
  int n = 0;
  for (const auto& line : lines) n += std::regex_match(line, DateLinePattern()) ? 1 : 0;
  return n;
}

inline std::vector<std::string> NormalisedDump(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    if (std::regex_match(line, DateLinePattern()))
      out.push_back("yyyy/mm/dd hh:mm:ss" + line.substr(19));
    else
      out.push_back(line);
  }
  return out;
}

inline std::filesystem::path GoldenPath(std::uint8_t limit) {
  return std::filesystem::path(WIREPEEK_TEST_DATA) / "golden" / (limit ? "dump-limited.txt" : "dump-full.txt");
}

inline void WriteGolden(const std::filesystem::path& path, const std::vector<std::string>& lines) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  for (const auto& line : lines) out << line << '\n';
}

inline std::vector<std::string> ReadGolden(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The calling thread owns the channel: takes in the dump lines of a finished
// capture until none is on its way any more.
inline bool AwaitDumps(TXIoctl& State, std::chrono::milliseconds Timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  for (;;) {
    const bool idle = State.Dumps.Idle();
    TraceOutput.DrainPending();
    if (idle) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
