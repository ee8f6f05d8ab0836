// The crash reporter's settings and key-value store used from many threads at once, on real
// threads (CI runs this under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "crash_test_support.h"
#include "platform/foundation/json.h"
#include "platform/testing/testing.h"
#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

TEST(RLZSettingsStressTest, ReadsNeverSeeATornDocument) {
  auto files = std::make_shared<RLZFileManager>();
  auto model = RLZApplicationIdentifierModel::make();
  ASSERT_TRUE(model);
  auto settings = std::make_shared<RLZSettings>(files, model);
  std::filesystem::create_directories(files->settingsDirectoryPath());
  const std::string document = R"({"cache_duration":7200,"session":{"log_buffer_size":1000,"max_custom_key_value_pairs":9}})";
  crash_test::writeFile(files->settingsFilePath(), document);
  settings->cacheSettingsWithVidezuAppID("app", 1000);
  ASSERT_EQ(settings->cacheDurationSeconds(), 7200u);

  std::atomic<bool> stop{false};
  std::atomic<int> wrongValues{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        // Each value is either the document's or the default, and the pair agrees.
        const auto duration = settings->cacheDurationSeconds();
        const auto keys = settings->maxCustomKeys();
        if (duration != 7200 && duration != 3600) ++wrongValues;
        if (keys != 9 && keys != 64) ++wrongValues;
        (void)settings->isCacheExpired();
        (void)settings->logBufferSize();
        (void)settings->featuresSettings();
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 150; ++i) settings->cacheSettingsWithVidezuAppID("app", 1000 + i);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 150; ++i) {
      crash_test::writeFile(files->settingsFilePath(), document);
      settings->reloadFromCacheWithVidezuAppID("app", 1000 + i);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 50; ++i) settings->deleteCachedSettings();
  });
  for (std::size_t i = 3; i < threads.size(); ++i) threads[i].join();
  stop = true;
  for (std::size_t i = 0; i < 3; ++i) threads[i].join();
  platform::testing::runUntilIdle();
  EXPECT_EQ(wrongValues, 0);

  // Settled again, a fresh cache reads back whole.
  crash_test::writeFile(files->settingsFilePath(), document);
  settings->cacheSettingsWithVidezuAppID("app", 5000);
  EXPECT_FALSE(settings->isCacheExpired());
  EXPECT_EQ(settings->maxCustomKeys(), 9u);
}

TEST(RLZUserDefaultsStressTest, LastWritesOfEveryThreadSurviveARelaunch) {
  const auto directory = crash_test::scratch("rlz-defaults");
  auto defaults = std::make_shared<RLZUserDefaults>(directory);
  constexpr int kWriters = 4;
  constexpr int kRounds = 60;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      const std::string key = "writer." + std::to_string(w);
      for (int i = 1; i <= kRounds; ++i) {
        defaults->setInteger(i, key);
        defaults->setString("temporary", key + ".scratch");
        defaults->removeObjectForKey(key + ".scratch");
        if (i % 3 == 0) defaults->synchronize();
        EXPECT_GE(defaults->integerForKey(key), i);
      }
      defaults->synchronize();
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      const auto all = defaults->dictionaryRepresentation();
      for (const auto& [key, value] : all) {
        if (!key.ends_with(".scratch")) {
          EXPECT_TRUE(value.isInteger()) << key;
        }
      }
      (void)defaults->synchronizeWroteToDisk();
    }
  });
  for (auto& thread : threads) thread.join();

  // Every writer synchronized after its last write: the disk holds each last value.
  RLZUserDefaults relaunched(directory);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(relaunched.integerForKey("writer." + std::to_string(w)), kRounds) << w;
  }
  EXPECT_EQ(relaunched.dictionaryRepresentation().size(), static_cast<std::size_t>(kWriters));
}

}  // namespace
