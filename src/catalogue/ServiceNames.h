#pragma once
// The system's list of service names by port (the services file), for TCP
// and UDP. Read once; afterwards only read, so any thread may ask.
#include <bitset>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <unordered_map>

class TServiceNames {
 public:
  TServiceNames() = default;
  // The entries of a services file; lines it cannot read are passed over.
  explicit TServiceNames(std::istream& File);

  // The first name the list gives Port of Protocol (6 or 17); empty when it
  // lists none.
  std::string_view Name(std::uint8_t Protocol, std::uint16_t Port) const;
  // Asked of both ports of every datagram: a bit, not a look-up.
  bool Listed(std::uint8_t Protocol, std::uint16_t Port) const {
    return Protocol == 6 ? Tcp.test(Port) : Protocol == 17 ? Udp.test(Port) : false;
  }
  std::size_t Size() const noexcept { return Names.size(); }

 private:
  std::unordered_map<std::uint32_t, std::string> Names;  // protocol << 16 | port
  std::bitset<65536> Tcp, Udp;                            // the ports Names lists
};

// This system's list, read at the first call (empty when it cannot be read).
const TServiceNames& SystemServiceNames();
