#include "catalogue/Global.h"

std::string ProtocolNameText(std::uint8_t protocol) {
  if (protocol <= MaxNamedProtocol) return std::string(ProtocolNames[protocol]);
  return "unknown(" + std::to_string(protocol) + ")";
}
