// The adapter list's count rules, on host address lists given by the test
// (no privilege needed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Datagrams.h"
#include "capture/backend/HostAddresses.h"
#include "capture/XIoctlUnit.h"

namespace {

THostAddress Real(int i, const char* name = "eth0") { return {name, Addr("198.51.100." + std::to_string(i)), true, false}; }
THostAddress Loop(const char* dotted = "127.0.0.1") { return {"lo", Addr(dotted), true, true}; }

std::vector<THostAddress> Reals(int n) {
  std::vector<THostAddress> list;
  for (int i = 1; i <= n; ++i) list.push_back(Real(i));
  return list;
}

std::vector<THostAddress> operator+(std::vector<THostAddress> a, const std::vector<THostAddress>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::uint32_t> RealAddrs(int n) {
  std::vector<std::uint32_t> list;
  for (int i = 1; i <= n; ++i) list.push_back(Addr("198.51.100." + std::to_string(i)));
  return list;
}

std::vector<std::uint32_t> operator+(std::vector<std::uint32_t> a, std::uint32_t b) {
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
    std::vector<std::uint32_t> Listed;  // empty: refused
  };
  const Case cases[] = {
      {"nothing at all", {}, {}},
      {"only down interfaces", {{"eth0", Addr("10.0.0.1"), false, false}, {"lo", Addr("127.0.0.1"), false, true}}, {}},
      {"loopback alone", {Loop()}, {Addr("127.0.0.1")}},
      {"one real address", {Real(1)}, RealAddrs(1)},
      {"one real address, loopback listed first by the system", {Loop(), Real(1)}, RealAddrs(1) + Addr("127.0.0.1")},
      {"nine real and loopback", Reals(9) + std::vector{Loop()}, RealAddrs(9) + Addr("127.0.0.1")},
      {"nine real and two loopback: one fits", Reals(9) + std::vector{Loop(), Loop("127.0.0.2")},
       RealAddrs(9) + Addr("127.0.0.1")},
      {"ten real: loopback has no room", std::vector{Loop()} + Reals(10), RealAddrs(10)},
      {"ten real without loopback", Reals(10), RealAddrs(10)},
      {"eleven real", Reals(11), {}},
      {"eleven real and loopback", Reals(11) + std::vector{Loop()}, {}},
      {"eleven entries, ten distinct", Reals(10) + std::vector{Real(3, "eth1"), Loop()}, RealAddrs(10)},
      {"a real address twice and loopback twice", {Real(1), Real(1, "eth1"), Loop(), Loop()},
       RealAddrs(1) + Addr("127.0.0.1")},
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
    ASSERT_EQ(n, static_cast<std::int32_t>(c.Listed.size()));
    EXPECT_EQ(state.AdapterCount, n);
    EXPECT_EQ(state.SelectedAdapter, 1);
    EXPECT_TRUE(Boxes.empty());
    for (int i = 1; i <= MaxAdapters; ++i) {
      EXPECT_EQ(state.Adapters[i], i <= n ? c.Listed[static_cast<std::size_t>(i - 1)] : 0u) << i;
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
  const std::pair<std::size_t, std::vector<std::uint32_t>> cases[] = {
      {1, RealAddrs(2)},
      {2, RealAddrs(2)},
      {3, RealAddrs(2) + Addr("127.0.0.1")},
      {4, RealAddrs(2) + Addr("127.0.0.1") + Addr("127.0.0.2")},
  };
  for (const auto& [limit, expected] : cases) EXPECT_EQ(CaptureAddresses(host, limit), expected) << limit;
}

}  // namespace
