#pragma once
// Reads the records of a pcap or pcapng capture in place, from bytes as they
// are appended, without any capture library: the engine's own reader where
// there is no libpcap (Windows). It hands on what libpcap would: each record
// cut to its snapshot length, its time stamp in microseconds, its link type
// as the capture library numbers it. Toolkit-free and without I/O of its
// own, so it can be tested and fuzzed alone.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TCaptureFileDecoder {
 public:
  enum class TState {
    NeedMore,  // no whole record yet
    Record,    // Next filled the record
    Garbled,   // the bytes are not a capture; Problem says why
  };
  struct TRecord {
    const std::uint8_t* Data = nullptr;  // valid until the next Append
    std::uint32_t Length = 0;            // bytes captured, after the snapshot cut
    int LinkType = 0;
    std::int64_t Seconds = 0;
    std::int64_t Microseconds = 0;
  };

  // The largest record any capture library writes; more means garbage.
  static constexpr std::uint32_t MaxRecordBytes = 262144;

  void Append(const std::uint8_t* Data, std::size_t Size);
  // Reads the file's header, and a pcapng file's blocks up to its first
  // packet: Record once LinkType is known.
  TState Start();
  // The next record of the bytes appended so far.
  TState Next(TRecord& Record);
  // The link type of the capture: known once the file header (pcap) or the
  // first interface (pcapng) was read; -1 before.
  int LinkType() const { return FirstLinkType; }
  // Bytes held that do not make a whole record or block: at the end of the
  // file they are a truncated one.
  std::size_t Pending() const { return Bytes.size() - Offset; }
  std::string Problem() const { return Trouble; }

 private:
  struct TInterface {
    int LinkType = 0;
    std::uint32_t SnapLength = 0;
    std::uint64_t UnitsPerSecond = 1000000;
  };
  enum class TFormat { Unknown, Pcap, PcapNg };

  std::uint16_t Load16(std::size_t At) const;
  std::uint32_t Load32(std::size_t At) const;
  TState Garble(std::string Why);
  TState NextPcap(TRecord& Record);
  // OneBlock: returns after one block that is not a packet, with Record.
  TState NextPcapNg(TRecord& Record, bool OneBlock);
  bool ReadInterface(std::size_t Body, std::size_t BodyLength);
  void Fill(TRecord& Record, const TInterface& Interface, std::uint64_t Stamp, std::size_t Data,
            std::uint32_t Captured) const;

  std::vector<std::uint8_t> Bytes;
  std::size_t Offset = 0;  // start of what is not decoded yet
  TFormat Format = TFormat::Unknown;
  bool Swapped = false;
  bool Nano = false;
  std::uint32_t SnapLength = 0;
  int FirstLinkType = -1;
  std::vector<TInterface> Interfaces;
  std::string Trouble;
};

// The capture library's number for a link type written in a file.
int LinkTypeFromFile(std::uint32_t FileLinkType);
