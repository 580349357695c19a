#include "capture/CountPacket.h"

#include "capture/backend/PacketBytes.h"
#include "support/Assertion.h"
#include "support/FaultInjection.h"

void CountPacket(TXIoctl& State, std::uint8_t direction, std::uint8_t protocol, std::uint16_t sourcePort,
                 std::uint16_t destPort) noexcept {
  FaultPoint(TFaultPoint::Counting);
  const std::size_t d = direction ? 1 : 0;
  const auto category = ClassifyService(protocol, sourcePort, destPort, direction);
  const auto c = static_cast<std::size_t>(category);
  WIREPEEK_ASSERT(c < static_cast<std::size_t>(ServiceCategoryCount), "service category is out of 0..16");
  auto& counts = State.Counters[d];
  State.CurDirection = static_cast<std::uint8_t>(d);
  counts[KindPackets][0] += 1;
  counts[KindBytes][0] += State.CurLength;
  State.CurCategory = static_cast<std::uint8_t>(c);
  counts[KindPackets][c] += 1;
  counts[KindBytes][c] += State.CurLength;
}

void CountPacket(TXIoctl& State, std::uint8_t direction, const TPacketView& datagram) noexcept {
  CountPacket(State, direction, IpProtocol(datagram), SourcePort(datagram), DestPort(datagram));
}

void CountPacket(TXIoctl& State, std::uint8_t direction) noexcept {
  CountPacket(State, direction, TPacketView(State.RecvBuffer.data(), State.RecvLength));
}
