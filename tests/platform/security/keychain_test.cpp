#include "platform/security/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/foundation/home.h"

namespace platform {
namespace {

Value::Dictionary password(std::string account) {
  return {{std::string(kSecClass), Value(kSecClassGenericPassword)},
          {std::string(kSecAttrService), Value("svc")},
          {std::string(kSecAttrAccount), Value(std::move(account))}};
}

Value::Dictionary withData(Value::Dictionary query, std::string text) {
  query[std::string(kSecValueData)] = Value(Data(text.begin(), text.end()));
  return query;
}

class KeychainTest : public ::testing::Test {
  void TearDown() override { KeychainTesting::reset(); }
};

TEST_F(KeychainTest, ItemsAreAddedFoundUpdatedAndDeletedWithTheirStatusCodes) {
  std::optional<Data> data;
  EXPECT_EQ(SecItemCopyMatching(password("a"), &data), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "one")), errSecSuccess);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "two")), errSecDuplicateItem);
  EXPECT_EQ(SecItemCopyMatching(password("a"), &data), errSecSuccess);
  EXPECT_EQ(data, Data({'o', 'n', 'e'}));
  EXPECT_EQ(SecItemUpdate(password("a"), {{std::string(kSecValueData), Value(Data{'x'})}}), errSecSuccess);
  EXPECT_EQ(SecItemCopyMatching(password("a"), &data), errSecSuccess);
  EXPECT_EQ(data, Data{'x'});
  EXPECT_EQ(SecItemUpdate(password("b"), {{std::string(kSecValueData), Value(Data{'x'})}}), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(password("a")), errSecSuccess);
  EXPECT_EQ(SecItemDelete(password("a")), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd({{std::string(kSecAttrAccount), Value("no class")}}), errSecParam);
}

TEST_F(KeychainTest, TheStoreIsPrivateAndOutlivesTheLibraryFolder) {
  ASSERT_EQ(SecItemAdd(withData(password("kept"), "secret")), errSecSuccess);
  const auto file = Home::keychain() / "keychain.plist";
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::filesystem::remove_all(Home::library());
  Home::set(Home::path());  // the caches start afresh, as in a new process
  std::optional<Data> data;
  EXPECT_EQ(SecItemCopyMatching(password("kept"), &data), errSecSuccess);
}

TEST_F(KeychainTest, InjectedFailuresAnswerWithoutTouchingItems) {
  KeychainTesting::failNext(KeychainTesting::Call::Add, errSecInteractionNotAllowed);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "one")), errSecInteractionNotAllowed);
  EXPECT_EQ(SecItemCopyMatching(password("a"), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "one")), errSecSuccess);
  EXPECT_EQ(KeychainTesting::callCount(KeychainTesting::Call::Add), 2);
}

}  // namespace
}  // namespace platform
