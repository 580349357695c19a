#include "catalogue/ServiceNames.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <set>
#include <string>

// Each TCP and UDP port of the system's list has the name the C library's own look-up gives it, and no other
// port has one.
TEST(ServiceNamesTest, TheSystemListNamesEachPortAsTheCLibraryDoes) {
  std::set<std::pair<std::string, int>> listed;
  setservent(0);
  while (const servent* entry = getservent())
    if (std::string(entry->s_proto) == "tcp" || std::string(entry->s_proto) == "udp")
      listed.emplace(entry->s_proto, ntohs(static_cast<std::uint16_t>(entry->s_port)));
  endservent();
  ASSERT_GT(listed.size(), 100u) << "netbase's list is missing";
  EXPECT_EQ(SystemServiceNames().Size(), listed.size());
  for (const auto& [proto, port] : listed) {
    servent found{}, *result = nullptr;
    char buffer[4096];
    ASSERT_EQ(getservbyport_r(htons(static_cast<std::uint16_t>(port)), proto.c_str(), &found, buffer, sizeof buffer, &result), 0);
    ASSERT_NE(result, nullptr) << port << "/" << proto;
    EXPECT_EQ(SystemServiceNames().Name(proto == "tcp" ? 6 : 17, static_cast<std::uint16_t>(port)), found.s_name)
        << port << "/" << proto;
  }
}
