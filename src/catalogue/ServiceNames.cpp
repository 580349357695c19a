#include "catalogue/ServiceNames.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include <platform/Paths.h>

namespace {
std::uint32_t Key(std::uint8_t protocol, std::uint16_t port) { return static_cast<std::uint32_t>(protocol) << 16 | port; }
}  // namespace

TServiceNames::TServiceNames(std::istream& file) {
  // name port/protocol [aliases...] [# comment]
  for (std::string line; std::getline(file, line);) {
    line.resize(std::min(line.find('#'), line.size()));
    std::istringstream fields(line);
    std::string name, where;
    if (!(fields >> name >> where)) continue;
    const auto slash = where.find('/');
    if (slash == std::string::npos) continue;
    const std::string_view protocol = std::string_view(where).substr(slash + 1);
    std::uint16_t port = 0;
    const auto [end, error] = std::from_chars(where.data(), where.data() + slash, port);
    if (error != std::errc() || end != where.data() + slash) continue;
    const std::uint8_t number = protocol == "tcp" ? 6 : protocol == "udp" ? 17 : 0;
    // The first entry of a port is its name, as the C library's look-up has it.
    if (number == 0) continue;
    Names.try_emplace(Key(number, port), name);
    (number == 6 ? Tcp : Udp).set(port);
  }
}

std::string_view TServiceNames::Name(std::uint8_t protocol, std::uint16_t port) const {
  const auto found = Names.find(Key(protocol, port));
  return found == Names.end() ? std::string_view() : std::string_view(found->second);
}

const TServiceNames& SystemServiceNames() {
  static const TServiceNames names = [] {
    std::ifstream file(SystemServicesFile());
    return file ? TServiceNames(file) : TServiceNames();
  }();
  return names;
}
