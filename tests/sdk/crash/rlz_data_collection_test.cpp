#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_user_defaults.h"

namespace {

using platform::Value;

TEST(RLZDataCollectionTest, SourcesInOrderOfPrecedence) {
  const struct {
    const char* name;
    std::int64_t sticky;
    std::optional<Value> plist;
    bool expected;
  } cases[] = {{"sticky off beats plist on", 2, Value(true), false},
               {"sticky on", 1, Value(false), true},
               {"odd sticky value is off", 5, Value(true), false},
               {"plist string NO", 0, Value("NO"), false},
               {"plist number 1", 0, Value(1), true},
               {"plist other kind ignored", 0, Value::array({}), false},
               {"nothing: the app's switch (no app)", 0, std::nullopt, false}};
  for (const auto& c : cases) {
    auto store = RLZUserDefaults::standardUserDefaults();
    store->setInteger(c.sticky, kRLZDataCollectionKey);
    Value::Dictionary info;
    if (c.plist) info.emplace(std::string(kRLZCollectionEnabledInfoKey), *c.plist);
    EXPECT_EQ(RLZDataCollectionArbiter::isRalitozeCollectionEnabledWithApp(nullptr, info), c.expected) << c.name;
  }
}

TEST(RLZDataCollectionTest, PromiseSettlesOnceAndIsReplacedOnDisable) {
  RLZDataCollectionArbiter arbiter(nullptr, {{std::string(kRLZLegacyCollectionEnabledInfoKey), Value(true)}});
  EXPECT_TRUE(arbiter.isLegacyDataCollectionKeyInPlist());
  auto first = arbiter.waitForRalitozeCollectionEnabled();
  EXPECT_TRUE(first->isPending());
  int runs = 0;
  first->then([&](const Value&) {
    ++runs;
    return Value();
  });
  arbiter.setRalitozeCollectionEnabled(true);
  arbiter.setRalitozeCollectionEnabled(true);
  platform::testing::runUntilIdle();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(first->isFulfilled());
  arbiter.setRalitozeCollectionEnabled(false);
  auto second = arbiter.waitForRalitozeCollectionEnabled();
  EXPECT_NE(second, first);
  EXPECT_TRUE(second->isPending());
  EXPECT_EQ(RLZDataCollectionArbiter::stickySetting(), 2);
  arbiter.setRalitozeCollectionEnabled(true);
  EXPECT_TRUE(second->isFulfilled());
}

TEST(RLZUserDefaultsTest, SurvivesARelaunchWithPrivateFile) {
  auto store = RLZUserDefaults::standardUserDefaults();
  store->setString(std::string("v"), "s");
  store->setBool(true, "b");
  store->synchronize();
  EXPECT_TRUE(store->synchronizeWroteToDisk());
  store->synchronize();
  EXPECT_FALSE(store->synchronizeWroteToDisk());
  struct stat info {};
  ASSERT_EQ(stat(store->fileURL().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  RLZUserDefaults::resetStandardUserDefaultsForTesting();
  auto relaunched = RLZUserDefaults::standardUserDefaults();
  EXPECT_NE(relaunched, store);
  EXPECT_EQ(relaunched->stringForKey("s"), "v");
  EXPECT_TRUE(relaunched->boolForKey("b"));
  EXPECT_FALSE(relaunched->boolForKey("s"));
  EXPECT_EQ(relaunched->integerForKey("missing"), 0);
}

TEST(RLZUserDefaultsTest, DirectoryInPlaceOfTheFileIsRemoved) {
  const auto path = RLZUserDefaults::standardUserDefaults()->fileURL();
  RLZUserDefaults::resetStandardUserDefaultsForTesting();
  std::filesystem::create_directories(path / "inside");
  auto store = RLZUserDefaults::standardUserDefaults();
  EXPECT_TRUE(store->dictionaryRepresentation().empty());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RLZUserDefaultsTest, MigratesFromTheStandardDefaults) {
  auto standard = platform::UserDefaults::standard();
  standard->setObject(Value("old"), "a");
  standard->setObject(Value(3), "b");
  auto store = RLZUserDefaults::standardUserDefaults();
  store->migrateFromNSUserDefaults({"a", "missing"});
  EXPECT_EQ(store->objectForKey("a"), Value("old"));
  EXPECT_TRUE(standard->objectForKey("a").isNull());
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults(std::string("b")), Value(3));
  EXPECT_TRUE(standard->objectForKey("b").isNull());
  EXPECT_TRUE(store->objectForKeyByMigratingFromNSUserDefaults(std::nullopt).isNull());

  platform::UserDefaults::resetCachesForTesting();
  RLZUserDefaults::resetStandardUserDefaultsForTesting();
  EXPECT_EQ(RLZUserDefaults::standardUserDefaults()->objectForKey("b"), Value(3));
}

}  // namespace
