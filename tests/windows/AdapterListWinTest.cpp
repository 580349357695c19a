// The host's addresses as Winsock's address-list reply gives them: a count,
// then (pointer, length) entries, of which only the IPv4 address counts.
#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "capture/backend/win/HostAddressesWin.h"

namespace {

class TListingWinsock final : public TWinsockCalls {
 public:
  std::vector<std::uint32_t> Listed;  // network byte order
  bool RawRefused = false;
  int Startup() override { return 0; }
  void Cleanup() override {}
  SOCKET RawSocket(int) override { return RawRefused ? INVALID_SOCKET : static_cast<SOCKET>(7); }
  SOCKET DatagramSocket() override { return static_cast<SOCKET>(8); }
  int Bind(SOCKET, std::uint32_t) override { return 0; }
  int ReceiveAll(SOCKET) override { return 0; }
  int AddressList(SOCKET, char* buffer, DWORD size) override {
    // Laid out as Winsock lays it: the list, then the addresses it points to.
    Addresses.resize(Listed.size());
    const INT count = static_cast<INT>(Listed.size());
    std::memcpy(buffer, &count, sizeof count);
    for (std::size_t i = 0; i < Listed.size(); ++i) {
      Addresses[i] = sockaddr_in{};
      Addresses[i].sin_family = AF_INET;
      Addresses[i].sin_addr.s_addr = Listed[i];
      SOCKET_ADDRESS entry{reinterpret_cast<LPSOCKADDR>(&Addresses[i]), sizeof(sockaddr_in)};
      const std::size_t at = offsetof(SOCKET_ADDRESS_LIST, Address) + i * sizeof entry;
      if (at + sizeof entry > size) return SOCKET_ERROR;
      std::memcpy(buffer + at, &entry, sizeof entry);
    }
    return 0;
  }
  int Receive(SOCKET, std::uint8_t*, std::size_t, DWORD&) override { return SOCKET_ERROR; }
  int Close(SOCKET) override { return 0; }
  int LastError() override { return 0; }

 private:
  std::vector<sockaddr_in> Addresses;
};

std::uint32_t Address(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

TEST(AdapterListWinTest, ReadsTheReplyInItsOrderAndCapturesOnlyOnInterfacesThatAreUp) {
  struct TCase {
    std::vector<const char*> Listed;
    bool RawRefused;
    std::vector<const char*> Capturable;
  } const cases[] = {
      {{"192.0.2.2", "10.0.0.7"}, false, {"192.0.2.2", "10.0.0.7"}},
      // A down interface is listed as 0.0.0.0; loopback comes last.
      {{"127.0.0.1", "0.0.0.0", "192.0.2.2"}, true, {"192.0.2.2", "127.0.0.1"}},
      {{}, false, {}},
  };
  for (const auto& c : cases) {
    TListingWinsock winsock;
    winsock.RawRefused = c.RawRefused;
    for (const char* a : c.Listed) winsock.Listed.push_back(Address(a));
    std::vector<THostAddress> host;
    ASSERT_TRUE(HostIpv4Addresses(winsock, host));
    ASSERT_EQ(host.size(), c.Listed.size());
    std::vector<TIpAddress> want;
    for (const char* a : c.Capturable) want.push_back(Address(a));
    EXPECT_EQ(CaptureAddresses(host, 10), want) << c.Listed.size();
    // The capture names the interface by its address.
    for (const auto& h : host) {
      if (h.Up) {
        EXPECT_EQ(InterfaceOwning(host, h.Addr), h.Interface);
      }
    }
  }
}

}  // namespace
