#include "capture/backend/CaptureFileSocket.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "capture/backend/LinkLayer.h"

namespace {

// A file is read in groups, so its readers are told as it goes.
constexpr int FileGroupSize = 256;
constexpr std::size_t ReadBytes = 1 << 20;

}  // namespace

std::unique_ptr<TCaptureFileSocket> TCaptureFileSocket::Open(const std::string& path, std::string& error) {
  std::unique_ptr<TCaptureFileSocket> socket(new TCaptureFileSocket);
  socket->File = std::fopen(path.c_str(), "rb");
  if (!socket->File) {
    error = std::strerror(errno);
    return nullptr;
  }
  // The link type is known from the header or the first interface.
  for (;;) {
    const auto state = socket->Decoder.Start();
    if (state == TCaptureFileDecoder::TState::Garbled) {
      error = socket->Decoder.Problem();
      return nullptr;
    }
    if (state == TCaptureFileDecoder::TState::Record || !socket->ReadMore()) break;
  }
  const int linkType = socket->Decoder.LinkType();
  if (linkType < 0) {
    error = socket->Decoder.Pending() == 0 && socket->Decoder.Problem().empty() ? "the file is empty"
                                                                                 : "truncated dump file";
    return nullptr;
  }
  if (!IsSupportedLinkType(linkType)) {
    error = "link type " + std::to_string(linkType) + " is not supported";
    return nullptr;
  }
  return socket;
}

TCaptureFileSocket::~TCaptureFileSocket() { Close(); }

bool TCaptureFileSocket::ReadMore() {
  if (!File || AtEnd) return false;
  std::vector<std::uint8_t> chunk(ReadBytes);
  const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), File);
  if (n == 0) {
    AtEnd = true;
    return false;
  }
  Decoder.Append(chunk.data(), n);
  return true;
}

// Capture thread.
TCaptureSocket::TReceiveStatus TCaptureFileSocket::Receive(TDatagramSink& sink) {
  if (!File) {
    Error = "capture handle is closed";
    return TReceiveStatus::Failed;
  }
  int delivered = 0;
  while (delivered < FileGroupSize) {
    TCaptureFileDecoder::TRecord record;
    const auto state = Decoder.Next(record);
    if (state == TCaptureFileDecoder::TState::Garbled) {
      Error = Decoder.Problem();
      return TReceiveStatus::Failed;
    }
    if (state == TCaptureFileDecoder::TState::NeedMore) {
      // The group so far goes out before the decoder's buffer moves.
      if (delivered > 0) return TReceiveStatus::Datagrams;
      if (ReadMore()) continue;
      if (Decoder.Pending() == 0) return TReceiveStatus::EndOfFile;
      Error = "truncated dump file; " + std::to_string(Decoder.Pending()) + " bytes at its end are not a whole record";
      return TReceiveStatus::Failed;
    }
    ++delivered;
    std::size_t offset = 0, length = 0;
    if (!LocateIp(record.LinkType, record.Data, record.Length, offset, length)) continue;
    TCapturedDatagram datagram;
    datagram.Data = record.Data + offset;
    datagram.Length = length;
    datagram.Seconds = record.Seconds;
    datagram.Microseconds = record.Microseconds;
    sink.Datagram(datagram);
  }
  return TReceiveStatus::Datagrams;
}

void TCaptureFileSocket::Close() {
  if (File) std::fclose(File);
  File = nullptr;
}
