#include "sdk/utilities/utilities/vul_mutable_dictionary.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VULMutableDictionary, ReadsSeeTheSameThreadsEarlierWrites) {
  VULMutableDictionary<> d;
  for (int i = 0; i < 100; ++i) {
    d.setObject(i, "key");
    ASSERT_EQ(d.objectForKey("key"), platform::Value(i));
  }
  d.setObjectForKeyedSubscript(std::nullopt, "key");
  EXPECT_FALSE(d.objectForKeyedSubscript("key"));
  d.setObjectForKeyedSubscript(platform::Value("v"), "other");
  d.setObject(1, "third");
  d.removeObjectForKey("third");
  EXPECT_EQ(d.count(), 1u);
  d.removeAllObjects();
  EXPECT_EQ(d.count(), 0u);
}

TEST(VULMutableDictionary, SnapshotDoesNotFollowLaterChanges) {
  VULMutableDictionary<> d;
  d.setObject("a", "1");
  auto snapshot = d.dictionary();
  d.setObject("b", "2");
  d.removeObjectForKey("1");
  EXPECT_EQ(snapshot, (platform::Value::Dictionary{{"1", "a"}}));
  EXPECT_EQ(d.dictionary(), (platform::Value::Dictionary{{"2", "b"}}));
  EXPECT_EQ(d.description(), platform::Value(platform::Value::Dictionary{{"2", "b"}}).description());
}

TEST(VULMutableDictionary, ConcurrentWritersLoseNothing) {
  VULMutableDictionary<int, int> d;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&d, t] {
      for (int i = 0; i < 250; ++i) {
        d.setObject(i, t * 1000 + i);
        if (i % 50 == 0) (void)d.count();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(d.count(), 2000u);
  EXPECT_EQ(d.objectForKey(7249), 249);
}

TEST(VULMutableDictionary, QueuedWritesOutliveTheDictionary) {
  auto d = std::make_unique<VULMutableDictionary<>>();
  for (int i = 0; i < 100; ++i) d->setObject(i, std::to_string(i));
  d.reset();  // writes still queued must not touch freed memory
}

}  // namespace
