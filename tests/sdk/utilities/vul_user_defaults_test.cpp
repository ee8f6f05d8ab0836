#include "sdk/utilities/utilities/vul_user_defaults.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace {

using platform::Value;

TEST(VULUserDefaults, InvalidKeysAndValuesAreRefusedWithTheirWarnings) {
  platform::testing::LogCapture log;
  auto defaults = VULUserDefaults::initWithSuiteName("com.test.suite");
  defaults->setObject(Value("kept"), "key");
  EXPECT_TRUE(defaults->objectForKey("").isNull());
  defaults->setObject(Value("x"), "");
  defaults->setObject(Value(Value::Array{Value()}), "key");
  platform::testing::drain(VULLoggerQueue());
  EXPECT_TRUE(log.contains("I-VUL000001"));
  EXPECT_TRUE(log.contains("I-VUL000002"));
  EXPECT_TRUE(log.contains("I-VUL000003"));
  EXPECT_EQ(defaults->objectForKey("key"), Value("kept"));
  EXPECT_EQ(defaults->integerForKey("absent"), 0);
  defaults->setInteger(7, "n");
  EXPECT_EQ(defaults->stringForKey("n"), Value(7));
  EXPECT_EQ(VULUserDefaults::initWithSuiteName("")->suiteName(), platform::UserDefaults::standard()->suiteName());
}

TEST(VULUserDefaults, ABurstOfWritesFlushesOnceASecondAfterTheLast) {
  auto defaults = VULUserDefaults::initWithSuiteName("com.test.burst");
  auto domain = platform::UserDefaults::suite("com.test.burst");
  for (int i = 0; i < 5; ++i) {
    defaults->setInteger(i, "k");
    platform::testing::advance(0.5);
  }
  // The platform's own flusher may have saved already; what matters is that the value is on disk
  // a second after the last write, whatever thread wrote it.
  platform::testing::advance(1);
  platform::UserDefaults::waitForPendingWrites();
  EXPECT_FALSE(domain->hasUnsavedChanges());
  platform::UserDefaults::resetCachesForTesting();
  EXPECT_EQ(VULUserDefaults::initWithSuiteName("com.test.burst")->integerForKey("k"), 4);
}

TEST(VULUserDefaults, StressWritesFromQueuesReachTheDisk) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  auto group = platform::DispatchGroup::make();
  for (int q = 0; q < 8; ++q) {
    auto defaults = VULUserDefaults::initWithSuiteName("com.test.stress");
    auto queue = platform::DispatchQueue::serial("writer" + std::to_string(q));
    group->async(queue, [defaults, q] {
      for (int i = 0; i < 50; ++i) defaults->setInteger(i, "key" + std::to_string(q));
    });
  }
  ASSERT_TRUE(group->wait(30));
  ASSERT_TRUE(platform::UserDefaults::waitForPendingWrites());
  platform::UserDefaults::resetCachesForTesting();
  auto reread = VULUserDefaults::initWithSuiteName("com.test.stress");
  for (int q = 0; q < 8; ++q) EXPECT_EQ(reread->integerForKey("key" + std::to_string(q)), 49);
}

}  // namespace
