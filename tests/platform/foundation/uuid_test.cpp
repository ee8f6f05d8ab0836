#include "platform/foundation/uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <unordered_set>

namespace platform {
namespace {

TEST(UUIDTest, NewIdentifiersAreRandomVersion4InUpperCaseForm) {
  const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::unordered_set<UUID> seen;
  for (int i = 0; i < 100; ++i) {
    const UUID u;
    EXPECT_TRUE(std::regex_match(u.UUIDString(), form)) << u.UUIDString();
    EXPECT_TRUE(seen.insert(u).second);
  }
}

TEST(UUIDTest, ParsesEitherCaseAndWritesUpperCase) {
  const auto u = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(u->bytes()[0], 0xE6);
  EXPECT_EQ(u->bytes()[15], 0x5F);
  EXPECT_EQ(UUID::fromString(u->UUIDString()), u);
  EXPECT_EQ(UUID(u->bytes()), *u);
}

TEST(UUIDTest, RefusesMalformedText) {
  const std::string valid = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  const std::string cases[] = {
      "",
      valid.substr(1),
      valid + "0",
      "E621E1F8C36C-495A-93FC-0C247A3E6E5F0",
      "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
      "{621E1F8-C36C-495A-93FC-0C247A3E6E5}",
      valid + std::string("\0X", 2),
  };
  for (const auto& text : cases) EXPECT_EQ(UUID::fromString(text), std::nullopt) << text;
}

}  // namespace
}  // namespace platform
