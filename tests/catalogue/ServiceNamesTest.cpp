#include "catalogue/ServiceNames.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <set>
#include <string>

// Each TCP and UDP port of the system's list has the name the C library's own look-up gives it, and no other
// port has one.
TEST(ServiceNamesTest, TheSystemListNamesEachPortAsTheCLibraryDoes) {
  std::set<std::pair<std::string, std::uint16_t>> listed;
  setservent(0);
  while (const servent* e = getservent())
    if (std::string(e->s_proto) == "tcp" || std::string(e->s_proto) == "udp") listed.emplace(e->s_proto, ntohs(static_cast<std::uint16_t>(e->s_port)));
  endservent();
  ASSERT_GT(listed.size(), 100u) << "netbase's list is missing";
  EXPECT_EQ(SystemServiceNames().Size(), listed.size());
  for (const auto& [proto, port] : listed) {
    servent found{}, *result = nullptr;
    char buffer[4096];
    getservbyport_r(htons(port), proto.c_str(), &found, buffer, sizeof buffer, &result);
    EXPECT_EQ(SystemServiceNames().Name(proto == "tcp" ? 6 : 17, port), result ? result->s_name : "") << port << "/" << proto;
  }
}
