#include "sdk/utilities/promises/vul_keychain_storage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/runloop/clock.h"
#include "platform/security/keychain.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_keychain_utils.h"

namespace {

using platform::ArchiveObject;
using platform::KeychainTesting::Call;
using platform::Value;

template <class T>
std::shared_ptr<VBLPromise<T>> settle(std::shared_ptr<VBLPromise<T>> promise) {
  platform::testing::runUntilIdle();
  EXPECT_FALSE(promise->isPending());
  return promise;
}

class KeychainStorageTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::KeychainTesting::reset(); }
  std::shared_ptr<VULKeychainStorage> storage_ = VULKeychainStorage::initWithService("test.service");
};

TEST_F(KeychainStorageTest, ReadsGoThroughTheCacheOnce) {
  auto missing = settle(storage_->getObjectForKey("k", platform::ArchiveClass::kString, std::nullopt));
  ASSERT_TRUE(missing->isFulfilled());
  EXPECT_TRUE(missing->value()->isNil());

  settle(storage_->setObject(ArchiveObject(Value("v")), "k", std::nullopt));
  storage_->resetInMemoryCache();
  const auto before = platform::KeychainTesting::callCount(Call::CopyMatching);
  for (int i = 0; i < 2; ++i) {
    auto read = settle(storage_->getObjectForKey("k", platform::ArchiveClass::kString, std::nullopt));
    EXPECT_EQ(read->value()->value(), Value("v"));
  }
  EXPECT_EQ(platform::KeychainTesting::callCount(Call::CopyMatching) - before, 1);

  settle(storage_->removeObjectForKey("k", std::nullopt));
  EXPECT_TRUE(settle(storage_->getObjectForKey("k", platform::ArchiveClass::kString, std::nullopt))->value()->isNil());
  EXPECT_TRUE(settle(storage_->removeObjectForKey("absent", std::nullopt))->isFulfilled());
}

TEST_F(KeychainStorageTest, KeychainFailuresRejectWithTheirCallAndStatus) {
  platform::KeychainTesting::failNext(Call::CopyMatching, platform::errSecInteractionNotAllowed);
  auto failed = settle(storage_->setObject(ArchiveObject(Value("v")), "k", std::nullopt));
  ASSERT_TRUE(failed->isRejected());
  EXPECT_EQ(failed->error()->domain(), kVULKeychainErrorDomain);
  EXPECT_EQ(failed->error()->localizedFailureReason(), "SecItemCopyMatching (-25308)");
  // The cache keeps what the keychain refused.
  EXPECT_EQ(settle(storage_->getObjectForKey("k", platform::ArchiveClass::kString, std::nullopt))->value()->value(),
            Value("v"));

  settle(storage_->setObject(ArchiveObject(Value(5)), "n", std::nullopt));
  storage_->resetInMemoryCache();
  auto wrongClass = settle(storage_->getObjectForKey("n", platform::ArchiveClass::kString, std::nullopt));
  EXPECT_TRUE(wrongClass->isRejected());
}

TEST_F(KeychainStorageTest, StressConcurrentWritersAndReaders) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  std::atomic<int> settled{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 30; ++i) {
        const std::string key = "key" + std::to_string((t + i) % 8);
        auto done = [&](const auto&) { ++settled; };
        auto fail = [&](const platform::Error&) { ++settled; };
        auto queue = platform::DispatchQueue::global();
        if (i % 3 == 0) {
          storage_->setObject(ArchiveObject(Value(i)), key, std::nullopt)->observeOnQueue(queue, done, fail);
        } else if (i % 3 == 1) {
          storage_->getObjectForKey(key, platform::ArchiveClass::kNumber, std::nullopt)->observeOnQueue(queue, done, fail);
        } else {
          storage_->removeObjectForKey(key, std::nullopt)->observeOnQueue(queue, done, fail);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();
  EXPECT_EQ(settled.load(), 180);
}

}  // namespace
