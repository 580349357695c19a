#include "catalogue/Global.h"

#include <gtest/gtest.h>

#include <set>

TEST(CatalogueTest, CategoryNamesAreTheTablesTexts) {
  EXPECT_EQ(ServiceCategoryNames[0], "ALL");
  EXPECT_EQ(ServiceCategoryNames[5], "HTTP Client ");  // trailing blank belongs to the name
  EXPECT_EQ(ServiceCategoryNames[4], "HTTP Server");
  EXPECT_EQ(ServiceCategoryNames[14], "NetBios Server");
  EXPECT_EQ(ServiceCategoryNames[16], "Sonota");
  // Server and Client rows alternate from 2 to 15.
  for (int i = 2; i <= 15; ++i) {
    const auto name = ServiceCategoryNames[static_cast<std::size_t>(i)];
    const bool server = name.find("Server") != std::string_view::npos;
    EXPECT_EQ(server, i % 2 == 0) << i << " " << name;
  }
}

TEST(CatalogueTest, ProtocolNamesByNumber) {
  const std::pair<int, std::string_view> expected[] = {
      {0, "Reserved"},   {1, "ICMP"},        {2, "IGMP"},     {6, "TCP"},   {17, "UDP"},
      {39, "TP++"},      {47, "GRE"},        {54, "NHRP"},    {55, "unknown"},
      {61, "unknown"},   {62, "CFTP"},       {63, "unknown"}, {68, "unknown"},
      {89, "OSPFIGP"},   {90, "Sprite-RPC"}, {93, "AX.25"},   {99, "unknown"},
      {100, "GMTP"},
  };
  for (const auto& [number, name] : expected) {
    EXPECT_EQ(ProtocolNames[static_cast<std::size_t>(number)], name) << number;
  }
  int unknown = 0;
  for (auto name : ProtocolNames) unknown += name == "unknown";
  EXPECT_EQ(unknown, 10);  // 55..61, 63, 68, 99
}

TEST(CatalogueTest, ProtocolTextCoversEveryByte) {
  EXPECT_EQ(ProtocolNameText(6), "TCP");
  EXPECT_EQ(ProtocolNameText(100), "GMTP");
  EXPECT_EQ(ProtocolNameText(101), "unknown(101)");
  EXPECT_EQ(ProtocolNameText(255), "unknown(255)");
  std::set<std::string> aboveTable;
  for (int p = 101; p <= 255; ++p) aboveTable.insert(ProtocolNameText(static_cast<std::uint8_t>(p)));
  EXPECT_EQ(aboveTable.size(), 155u);  // each number stays distinguishable
}
