// The adapter list's count rules, on host address lists given by the test
// (no privilege needed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Datagrams.h"
#include "capture/backend/HostAddresses.h"
#include "capture/XIoctlUnit.h"

namespace {

// These tests share a compile batch with others that join datagram bytes.
using ::operator+;

THostAddress Real(int i, const char* name = "eth0") { return {name, Addr("198.51.100." + std::to_string(i)), true, false}; }
THostAddress Loop(const char* dotted = "127.0.0.1") { return {"lo", Addr(dotted), true, true}; }
TIpAddress Six(const char* text) {
  TIpAddress a;
  EXPECT_TRUE(TIpAddress::Parse(text, a)) << text;
  return a;
}
THostAddress Real6(const char* text) { return {"eth0", Six(text), true, false}; }
THostAddress Loop6() { return {"lo", Six("::1"), true, true}; }

std::vector<THostAddress> Reals(int n) {
  std::vector<THostAddress> list;
  for (int i = 1; i <= n; ++i) list.push_back(Real(i));
  return list;
}

std::vector<THostAddress> operator+(std::vector<THostAddress> a, const std::vector<THostAddress>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<TIpAddress> RealAddrs(int n) {
  std::vector<TIpAddress> list;
  for (int i = 1; i <= n; ++i) list.push_back(Addr("198.51.100." + std::to_string(i)));
  return list;
}

std::vector<TIpAddress> operator+(std::vector<TIpAddress> a, TIpAddress b) {
  a.push_back(b);
  return a;
}

const std::string TooMany = "ListAdaptor Error:Too Many Adapter or No Adapter";

class AdapterListTest : public testing::Test {
 protected:
  void SetUp() override {
    SetErrorBoxSink([this](std::string_view text, std::string_view) {
      Boxes.emplace_back(text);
      return 1;
    });
  }
  void TearDown() override { SetErrorBoxSink(nullptr); }
  std::vector<std::string> Boxes;
};

TEST_F(AdapterListTest, CountRules) {
  struct Case {
    const char* Name;
    std::vector<THostAddress> Host;
    std::vector<TIpAddress> Listed;  // empty: refused
    std::vector<std::string> Interfaces = {"eth0", "lo"};  // the whole-interface entries after them
  };
  const Case cases[] = {
      {"nothing at all", {}, {}},
      {"only down interfaces", {{"eth0", Addr("10.0.0.1"), false, false}, {"lo", Addr("127.0.0.1"), false, true}}, {}},
      {"loopback alone", {Loop()}, {Addr("127.0.0.1")}, {"lo"}},
      {"one real address", {Real(1)}, RealAddrs(1), {"eth0"}},
      {"one real address, loopback listed first by the system", {Loop(), Real(1)}, RealAddrs(1) + Addr("127.0.0.1")},
      {"nine real and loopback", Reals(9) + std::vector{Loop()}, RealAddrs(9) + Addr("127.0.0.1")},
      {"nine real and two loopback", Reals(9) + std::vector{Loop(), Loop("127.0.0.2")},
       RealAddrs(9) + Addr("127.0.0.1") + Addr("127.0.0.2")},
      {"ten real and loopback", std::vector{Loop()} + Reals(10), RealAddrs(10) + Addr("127.0.0.1")},
      {"eleven real", Reals(11), RealAddrs(11), {"eth0"}},
      {"eleven entries, ten distinct", Reals(10) + std::vector{Real(3, "eth1")}, RealAddrs(10), {"eth0", "eth1"}},
      {"IPv6 after IPv4, each family's loopback last",
       {Loop6(), Real6("fe80::1"), Loop(), Real(1), Real6("2001:db8::2")},
       RealAddrs(1) + Addr("127.0.0.1") + Six("fe80::1") + Six("2001:db8::2") + Six("::1")},
      {"IPv6 alone", {Loop6()}, {Six("::1")}, {"lo"}},
      {"a real address twice and loopback twice", {Real(1), Real(1, "eth1"), Loop(), Loop()},
       RealAddrs(1) + Addr("127.0.0.1"), {"eth0", "eth1", "lo"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Boxes.clear();
    TXIoctl state;
    int calls = 0;
    state.HostAddressSource = [&](std::vector<THostAddress>& host) {
      ++calls;
      host = c.Host;
      return true;
    };
    const std::int32_t n = state.ListAdaptor();
    EXPECT_EQ(calls, 1);
    if (c.Listed.empty()) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(state.AdapterCount, -1);
      EXPECT_EQ(Boxes, std::vector<std::string>{TooMany});
      continue;
    }
    const auto addresses = static_cast<std::int32_t>(c.Listed.size());
    ASSERT_EQ(n, addresses + static_cast<std::int32_t>(c.Interfaces.size()));
    EXPECT_EQ(state.AdapterCount, n);
    EXPECT_EQ(state.SelectedAdapter, 1);
    EXPECT_TRUE(Boxes.empty());
    for (int i = 1; i <= n + 1; ++i) {
      EXPECT_EQ(state.Adapters[i], i <= addresses ? c.Listed[static_cast<std::size_t>(i - 1)] : TIpAddress{}) << i;
      EXPECT_EQ(state.AdapterIsInterface[i], i > addresses && i <= n) << i;
      if (i > addresses && i <= n) {
        EXPECT_EQ(AdapterEntryText(state, i), c.Interfaces[static_cast<std::size_t>(i - addresses - 1)] + " (all addresses)");
      }
    }
  }
}

TEST_F(AdapterListTest, ASourceThatFailsIsTheListRequestFailing) {
  TXIoctl state;
  state.HostAddressSource = [](std::vector<THostAddress>&) { return false; };
  EXPECT_EQ(state.ListAdaptor(), -1);
  EXPECT_EQ(state.AdapterCount, -1);
  EXPECT_EQ(Boxes, std::vector<std::string>{"ListAdaptor Error:WSAIoctl SOCKET_ERROR"});
}

TEST(HostAddressesTest, LoopbackFillsOnlyTheRoomLeft) {
  const std::vector<THostAddress> host = {Loop(), Real(1), Loop("127.0.0.2"), Real(2)};
  const std::pair<std::size_t, std::vector<TIpAddress>> cases[] = {
      {1, RealAddrs(2)},
      {2, RealAddrs(2)},
      {3, RealAddrs(2) + Addr("127.0.0.1")},
      {4, RealAddrs(2) + Addr("127.0.0.1") + Addr("127.0.0.2")},
  };
  for (const auto& [limit, expected] : cases) EXPECT_EQ(CaptureAddresses(host, limit), expected) << limit;
}

}  // namespace
