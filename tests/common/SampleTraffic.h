#pragma once
// A small capture seen from 10.0.0.2, written by hand, framed as Ethernet or
// as Linux cooked capture; the report tests hold the counts worked out from it.
// And the fixture of the tests that read capture files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Datagrams.h"
#include "common/PcapFiles.h"
#include "capture/XIoctlUnit.h"

inline std::vector<std::uint8_t> Ethernet(const std::vector<std::uint8_t>& ip, std::vector<std::uint8_t> tags = {}) {
  std::vector<std::uint8_t> frame;
  frame.reserve(14 + tags.size() + ip.size());
  frame.resize(12, 0x02);
  for (auto b : tags) frame.push_back(b);
  frame.push_back(0x08);
  frame.push_back(0x00);
  for (auto b : ip) frame.push_back(b);
  if (frame.size() < 60) frame.resize(60, 0);  // wire padding
  return frame;
}

inline std::vector<std::uint8_t> Cooked2(const std::vector<std::uint8_t>& ip) {
  std::vector<std::uint8_t> frame = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  for (auto b : ip) frame.push_back(b);
  return frame;
}

// A capture seen from 10.0.0.2, written by hand; the expected report below
// was worked out from it by hand.
inline std::vector<TFrame> Traffic(bool ethernet) {
  const auto wrap = [&](const std::vector<std::uint8_t>& ip, std::vector<std::uint8_t> tags = {}) {
    return ethernet ? Ethernet(ip, std::move(tags)) : Cooked2(ip);
  };
  std::vector<TFrame> frames;
  // 09:05:03 UTC: a DNS query and its answer.
  frames.push_back({wrap(MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.1.2.3",
                                       .SourcePort = 40000, .DestPort = 53, .TotalLength = 60, .Delivered = 60})),
                    1767603903, 250000});
  frames.push_back({wrap(MakeDatagram({.Protocol = 17, .Source = "9.1.2.3", .Dest = "10.0.0.2",
                                       .SourcePort = 53, .DestPort = 40000, .TotalLength = 120,
                                       .Delivered = 120})),
                    1767603903, 900000});
  // A web request behind a VLAN tag, and a ping reply that is only 28 bytes
  // (padded on the wire).
  frames.push_back({wrap(MakeDatagram({.Protocol = 6, .Source = "10.0.0.2", .Dest = "192.168.0.10",
                                       .SourcePort = 1025, .DestPort = 80, .TotalLength = 40,
                                       .Delivered = 40}),
                         {0x81, 0x00, 0x00, 0x05}),
                    1767603904, 0});
  frames.push_back({wrap(MakeDatagram({.Protocol = 1, .Source = "192.168.0.10", .Dest = "10.0.0.2",
                                       .TotalLength = 28, .Delivered = 28})),
                    1767603904, 500000});
  // Between two other hosts: counted in the totals only.
  frames.push_back({wrap(MakeDatagram({.Protocol = 6, .Source = "10.0.0.7", .Dest = "10.0.0.8",
                                       .SourcePort = 80, .DestPort = 3000, .TotalLength = 1500,
                                       .Delivered = 1500})),
                    1767603905, 0});
  // An IPv6 frame the engine does not take at all.
  std::vector<std::uint8_t> v6(80, 0);
  v6[12] = 0x86;
  v6[13] = 0xDD;
  v6[14] = 0x60;
  if (ethernet) frames.push_back({v6, 1767603905, 100});
  // A datagram to ourselves, as on loopback: counted once each way.
  frames.push_back({wrap(MakeDatagram({.Protocol = 6, .Source = "10.0.0.2", .Dest = "10.0.0.2",
                                       .SourcePort = 1025, .DestPort = 110, .TotalLength = 52,
                                       .Delivered = 52})),
                    1767603906, 0});
  return frames;
}

// A folder of its own for each test's files, and the engine's error boxes
// recorded instead of shown.
class TCaptureFileTest : public testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("wirepeek-files-" + std::to_string(getpid()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(Dir);
    SetErrorBoxSink([this](std::string_view text, std::string_view) {
      Boxes.emplace_back(text);
      return 1;
    });
  }
  void TearDown() override {
    SetErrorBoxSink(nullptr);
    std::filesystem::remove_all(Dir);
  }

  std::filesystem::path Dir;
  std::vector<std::string> Boxes;
};
