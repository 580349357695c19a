#include "support/VersionInfo.h"

#include "support/AsciiCase.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <limits>

namespace {

// ---- Reading an ELF64 file --------------------------------------------------
// Every read is checked against the file's size first, so a truncated or
// garbled file ends in "not found", never in a read past its end.

constexpr std::size_t ElfHeaderSize = 64;
constexpr std::size_t SectionHeaderSize = 64;  // the part of each entry we read
constexpr std::uint32_t SectionTypeNoBits = 8;
constexpr std::uint16_t SectionIndexExtended = 0xFFFF;
// Guards memory against a garbled section count.
constexpr std::uint64_t MaxSectionCount = 1u << 18;

class TElfFile {
 public:
  explicit TElfFile(const std::string& path) : Stream_(path, std::ios::binary) {
    if (!Stream_) return;
    Stream_.seekg(0, std::ios::end);
    const std::streamoff end = Stream_.tellg();
    if (end < 0) return;
    FileSize_ = static_cast<std::uint64_t>(end);
    Open_ = true;
  }

  bool IsOpen() const { return Open_; }

  // Length bytes at Offset, or nullopt when they are not all inside the file.
  std::optional<std::string> ReadAt(std::uint64_t offset, std::uint64_t length) {
    if (!Open_ || offset > FileSize_ || length > FileSize_ - offset) return std::nullopt;
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::streamsize>::max())) {
      return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    Stream_.clear();
    Stream_.seekg(static_cast<std::streamoff>(offset));
    Stream_.read(bytes.data(), static_cast<std::streamsize>(length));
    if (!Stream_ || static_cast<std::uint64_t>(Stream_.gcount()) != length) return std::nullopt;
    return bytes;
  }

 private:
  std::ifstream Stream_;
  std::uint64_t FileSize_ = 0;
  bool Open_ = false;
};

// Unsigned numbers of either byte order; the caller guarantees the bytes.
std::uint64_t ReadNumber(std::string_view bytes, std::size_t at, std::size_t width,
                         bool bigEndian) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t index = bigEndian ? at + i : at + width - 1 - i;
    value = (value << 8) | static_cast<unsigned char>(bytes[index]);
  }
  return value;
}

struct TSectionHeader {
  std::uint32_t NameOffset = 0;
  std::uint32_t Type = 0;
  std::uint64_t Offset = 0;
  std::uint64_t Size = 0;
  std::uint32_t Link = 0;
};

TSectionHeader SectionHeaderAt(std::string_view table, std::size_t at, bool bigEndian) {
  TSectionHeader h;
  h.NameOffset = static_cast<std::uint32_t>(ReadNumber(table, at + 0, 4, bigEndian));
  h.Type = static_cast<std::uint32_t>(ReadNumber(table, at + 4, 4, bigEndian));
  h.Offset = ReadNumber(table, at + 24, 8, bigEndian);
  h.Size = ReadNumber(table, at + 32, 8, bigEndian);
  h.Link = static_cast<std::uint32_t>(ReadNumber(table, at + 40, 4, bigEndian));
  return h;
}

// ---- Parsing a version block ------------------------------------------------
// Layout: see cmake/VersionBlock.cmake. Little-endian, no padding.

constexpr std::string_view BlockMagic = "WPVB";
constexpr std::uint16_t BlockFormat = 1;
constexpr std::size_t BlockHeaderSize = 32;
constexpr std::size_t RecordHeaderSize = 8;
constexpr std::size_t TableNameSize = 8;
constexpr std::uint16_t RecordStringTable = 1;
constexpr std::uint16_t RecordTranslations = 2;

// A bounds-checked little-endian reader over one byte range.
class TByteReader {
 public:
  explicit TByteReader(std::string_view bytes) : Bytes_(bytes) {}

  std::size_t Left() const { return Bytes_.size() - Pos_; }

  bool Number(std::size_t width, std::uint64_t& value) {
    if (Left() < width) return false;
    value = ReadNumber(Bytes_, Pos_, width, false);
    Pos_ += width;
    return true;
  }
  bool U16(std::uint16_t& value) {
    std::uint64_t v = 0;
    if (!Number(2, v)) return false;
    value = static_cast<std::uint16_t>(v);
    return true;
  }
  bool U32(std::uint32_t& value) {
    std::uint64_t v = 0;
    if (!Number(4, v)) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
  }
  bool Bytes(std::size_t length, std::string_view& out) {
    if (Left() < length) return false;
    out = Bytes_.substr(Pos_, length);
    Pos_ += length;
    return true;
  }
  bool String(std::string& out) {
    std::uint16_t length = 0;
    std::string_view bytes;
    if (!U16(length) || !Bytes(length, bytes)) return false;
    out.assign(bytes);
    return true;
  }

 private:
  std::string_view Bytes_;
  std::size_t Pos_ = 0;
};

}  // namespace

std::optional<std::string> ReadElfSection(const std::string& Path, std::string_view Name) {
  TElfFile file(Path);
  if (!file.IsOpen()) return std::nullopt;
  const auto header = file.ReadAt(0, ElfHeaderSize);
  if (!header) return std::nullopt;
  const std::string_view h = *header;
  if (h.substr(0, 4) != "\x7f" "ELF" || h[4] != 2 /* 64-bit */) return std::nullopt;
  if (h[5] != 1 && h[5] != 2) return std::nullopt;
  const bool bigEndian = h[5] == 2;

  const std::uint64_t tableOffset = ReadNumber(h, 0x28, 8, bigEndian);
  const std::uint64_t entrySize = ReadNumber(h, 0x3A, 2, bigEndian);
  std::uint64_t count = ReadNumber(h, 0x3C, 2, bigEndian);
  std::uint64_t namesIndex = ReadNumber(h, 0x3E, 2, bigEndian);
  if (tableOffset == 0 || entrySize < SectionHeaderSize) return std::nullopt;

  // Many sections: the real count and name-table index sit in entry 0.
  if (count == 0 || namesIndex == SectionIndexExtended) {
    const auto first = file.ReadAt(tableOffset, SectionHeaderSize);
    if (!first) return std::nullopt;
    const TSectionHeader zero = SectionHeaderAt(*first, 0, bigEndian);
    if (count == 0) count = zero.Size;
    if (namesIndex == SectionIndexExtended) namesIndex = zero.Link;
  }
  if (count == 0 || count > MaxSectionCount || namesIndex >= count) return std::nullopt;

  // count <= 2^18 and entrySize < 2^16: the product cannot overflow.
  const auto table = file.ReadAt(tableOffset, count * entrySize);
  if (!table) return std::nullopt;
  const auto at = [&](std::uint64_t index) {
    return static_cast<std::size_t>(index * entrySize);
  };
  const TSectionHeader names = SectionHeaderAt(*table, at(namesIndex), bigEndian);
  if (names.Type == SectionTypeNoBits) return std::nullopt;

  for (std::uint64_t i = 0; i < count; ++i) {
    const TSectionHeader s = SectionHeaderAt(*table, at(i), bigEndian);
    // The name must be Name followed by its terminating zero, all of it
    // inside the name table.
    const std::uint64_t nameLength = Name.size() + 1;
    if (s.NameOffset > names.Size || nameLength > names.Size - s.NameOffset) continue;
    if (names.Offset > std::numeric_limits<std::uint64_t>::max() - s.NameOffset) continue;
    const auto name = file.ReadAt(names.Offset + s.NameOffset, nameLength);
    if (!name || std::string_view(*name).substr(0, Name.size()) != Name || name->back() != '\0') {
      continue;
    }
    if (s.Type == SectionTypeNoBits || s.Size > MaxSectionBytes) return std::nullopt;
    return file.ReadAt(s.Offset, s.Size);
  }
  return std::nullopt;
}

TVersionInfo TVersionInfo::FromBytes(std::string_view Bytes) {
  TVersionInfo info;
  TByteReader header(Bytes);
  std::string_view magic;
  std::uint16_t format = 0;
  std::uint16_t reserved = 0;
  std::uint32_t size = 0;
  if (!header.Bytes(BlockMagic.size(), magic) || magic != BlockMagic) return {};
  if (!header.U16(format) || format != BlockFormat || !header.U16(reserved)) return {};
  if (!header.U32(size) || size < BlockHeaderSize || size > Bytes.size()) return {};
  for (auto& part : info.FileVersion_) {
    if (!header.U16(part)) return {};
  }
  for (auto& part : info.ProductVersion_) {
    if (!header.U16(part)) return {};
  }

  TByteReader records(Bytes.substr(BlockHeaderSize, size - BlockHeaderSize));
  while (records.Left() > 0) {
    std::uint16_t kind = 0;
    std::uint16_t count = 0;
    std::uint32_t recordSize = 0;
    std::string_view bodyBytes;
    if (!records.U16(kind) || !records.U16(count) || !records.U32(recordSize)) return {};
    if (recordSize < RecordHeaderSize) return {};
    if (!records.Bytes(recordSize - RecordHeaderSize, bodyBytes)) return {};
    TByteReader body(bodyBytes);
    if (kind == RecordStringTable) {
      TVersionTable table;
      std::string_view name;
      if (!body.Bytes(TableNameSize, name)) return {};
      table.Name.assign(name);
      for (std::uint16_t i = 0; i < count; ++i) {
        TVersionEntry entry;
        if (!body.String(entry.Key) || !body.String(entry.Value)) return {};
        table.Entries.push_back(std::move(entry));
      }
      info.Tables_.push_back(std::move(table));
    } else if (kind == RecordTranslations) {
      for (std::uint16_t i = 0; i < count; ++i) {
        TVersionTranslation t;
        if (!body.U16(t.Language) || !body.U16(t.CodePage)) return {};
        info.Translations_.push_back(t);
      }
    }
    // Records of other kinds belong to later formats: skipped.
  }
  info.Size_ = size;
  return info;
}

TVersionInfo TVersionInfo::FromFile(const std::string& Path) {
  const auto section = ReadElfSection(Path, VersionSectionName);
  if (!section) return {};
  return FromBytes(*section);
}

std::optional<std::string> TVersionInfo::Query(std::string_view TableName,
                                               std::string_view Key) const {
  for (const TVersionTable& table : Tables_) {
    if (!EqualNoCase(table.Name, TableName)) continue;
    for (const TVersionEntry& entry : table.Entries) {
      if (EqualNoCase(entry.Key, Key)) return entry.Value;
    }
  }
  return std::nullopt;
}

std::vector<std::string> VersionTraceLines(const TAboutVersionInfo& Info) {
  std::vector<std::string> lines;
  lines.reserve(2 + VersionKeyCount);
  lines.push_back("Load=" + Info.AboutExePath);
  lines.push_back(Info.BuildDateText);
  for (std::size_t i = 0; i < VersionKeyCount; ++i) {
    char index[32];
    std::snprintf(index, sizeof index, "ix=%2d (", static_cast<int>(i + 1));
    lines.push_back(index + Info.VersionValues[i] + ")");
  }
  return lines;
}
