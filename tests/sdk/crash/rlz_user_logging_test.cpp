#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "crash_test_support.h"
#include "platform/foundation/error.h"
#include "platform/testing/testing.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/records/rlz_context_state.h"

namespace {

namespace fs = std::filesystem;

class RLZUserLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override { report_ = crash_test::scratch("logging-report"); }
  void TearDown() override { RLZContextResetForTesting(); }

  void initialize(uint32_t maxLogSize = 64000, uint32_t maxKeys = 64, uint32_t maxExceptions = 8) {
    const RLZContextInitStrings strings{report_.string(), crash_test::scratch("logging-root").string(),
                                        "0123456789abcdef0123456789abcdef"};
    RLZContextInitData data = RLZContextBuildInitData(strings, nullptr);
    data.maxLogSize = maxLogSize;
    data.maxKeyValues = maxKeys;
    data.maxCustomExceptions = maxExceptions;
    ASSERT_TRUE(RLZContextInitializeWithData(data));
    platform::testing::runUntilIdle();
    ASSERT_TRUE(RLZContextIsInitialized());
  }
  // Writes, then the compactions and swaps they queued.
  void settle() {
    platform::testing::drain(RLZContextLoggingQueue());
    platform::testing::drain(RLZContextLoggingQueue());
  }
  platform::Value::Dictionary userKeys() {
    settle();
    return RLZUserLoggingGetCompactedKVEntries(&_rlzContext.readonly->logging.userKVStorage, true).value();
  }
  bool exists(const char* name) const { return fs::exists(report_ / name); }
  std::string text(const char* name) const { return crash_test::readFile(report_ / name); }
  const char* activeLog() const { return _rlzContext.writable->logging.activeUserLogPath; }
  const char* activeErrors() const { return _rlzContext.writable->logging.activeErrorLogPath; }

  fs::path report_;
};

TEST_F(RLZUserLoggingTest, ARemovedKeyCompactsAtOnceAndLeavesTheMergedView) {
  initialize();
  RLZUserLoggingRecordUserKeyValue("kept", platform::Value("1"));
  RLZUserLoggingRecordUserKeyValue("gone", platform::Value(7));
  EXPECT_EQ(userKeys(), (platform::Value::Dictionary{{"kept", platform::Value("1")}, {"gone", platform::Value("7")}}));
  EXPECT_FALSE(exists("user_compacted_kv.rlzrecord"));

  RLZUserLoggingRecordUserKeyValue("gone", platform::Value());
  EXPECT_EQ(userKeys(), (platform::Value::Dictionary{{"kept", platform::Value("1")}}));
  EXPECT_FALSE(exists("user_incremental_kv.rlzrecord"));
  EXPECT_TRUE(exists("user_compacted_kv.rlzrecord"));
}

TEST_F(RLZUserLoggingTest, CompactionAtTheSixtyFourthEntryKeepsTheNewestValuePerKey) {
  initialize();
  for (int i = 0; i < 63; ++i) RLZUserLoggingRecordUserKeyValue("k" + std::to_string(i % 3), platform::Value(i));
  settle();
  EXPECT_TRUE(exists("user_incremental_kv.rlzrecord"));
  RLZUserLoggingRecordUserKeyValue("k0", platform::Value("last"));
  EXPECT_EQ(userKeys(), (platform::Value::Dictionary{
                            {"k0", platform::Value("last")}, {"k1", platform::Value("61")}, {"k2", platform::Value("62")}}));
  EXPECT_FALSE(exists("user_incremental_kv.rlzrecord"));
  // Compaction carries the same hex text as the incremental file.
  EXPECT_NE(text("user_compacted_kv.rlzrecord").find("6c617374"), std::string::npos);
}

TEST_F(RLZUserLoggingTest, CompactionKeepsAtMostTheMaximumNumberOfKeys) {
  initialize(64000, 64);
  platform::Value::Dictionary many;
  for (int i = 0; i < 70; ++i) many["key" + std::to_string(100 + i)] = platform::Value(i);
  RLZUserLoggingRecordUserKeysAndValues(many);
  EXPECT_EQ(userKeys().size(), 64u);
  EXPECT_TRUE(RLZUserLoggingGetCompactedKVEntries(&_rlzContext.readonly->logging.userKVStorage, false)
                  ->count("6b6579313030"));  // hex of "key100"
}

TEST_F(RLZUserLoggingTest, LongMessagesAreCutAtACharacterBoundary) {
  struct Case {
    uint32_t limit;
    std::string message;
    std::string kept;
  } cases[] = {
      {5, "abcd\xF0\x9F\x98\x80z", "abcd"},            // the pair would end past the limit: dropped whole
      {6, "abcd\xF0\x9F\x98\x80z", "abcd\xF0\x9F\x98\x80"},
      {64000, std::string(70000, 'q'), std::string(64000, 'q')},
  };
  for (const auto& c : cases) {
    initialize(c.limit + 200000);
    RLZUserLoggingABStorage storage = _rlzContext.readonly->logging.logStorage;
    storage.maxSize = c.limit;
    const char* active = storage.aPath;
    RLZLogToStorage(&storage, &active, c.message);
    settle();
    auto lines = RLZFileReadSections(storage.aPath, false).value();
    ASSERT_EQ(lines.size(), 1u);
    const std::string hex = *lines[0].ifDictionary()->at("log").ifDictionary()->at("msg").ifString();
    EXPECT_EQ(RLZFileHexDecodeString(hex.c_str()), c.kept) << c.limit;
    RLZContextResetForTesting();
    fs::remove_all(report_);
    fs::create_directories(report_);
  }
}

TEST_F(RLZUserLoggingTest, LogFilesSwapWhenTheActiveOneOutgrowsTheLimit) {
  initialize(100);
  const std::string a = _rlzContext.readonly->logging.logStorage.aPath;
  const std::string b = _rlzContext.readonly->logging.logStorage.bPath;
  RLZLog("first");
  settle();
  EXPECT_EQ(activeLog(), a);
  RLZLog(std::string(90, 'x'));  // the file now holds more than 100 bytes
  settle();
  EXPECT_EQ(activeLog(), b);
  RLZLog("third");
  RLZLog(std::string(90, 'y'));
  settle();
  EXPECT_EQ(activeLog(), a);
  // Swapping back emptied A: the oldest lines are gone, the last full file stays.
  EXPECT_FALSE(exists("log_a.rlzrecord"));
  EXPECT_NE(text("log_b.rlzrecord").find("7468697264"), std::string::npos);
}

TEST_F(RLZUserLoggingTest, ErrorFilesSwapAfterTheMaximumNumberOfEntries) {
  initialize(64000, 64, 8);
  const std::string a = _rlzContext.readonly->logging.errorStorage.aPath;
  const std::string b = _rlzContext.readonly->logging.errorStorage.bPath;
  const platform::Error error("test.domain", 3, {{"why", platform::Value("because")}});
  for (int i = 0; i < 7; ++i) RLZUserLoggingRecordError(&error, nullptr);
  settle();
  EXPECT_EQ(activeErrors(), a);
  RLZUserLoggingRecordError(&error, nullptr);
  settle();
  EXPECT_EQ(activeErrors(), b);
  for (int i = 0; i < 8; ++i) RLZUserLoggingRecordError(&error, nullptr);
  settle();
  EXPECT_EQ(activeErrors(), a);
  EXPECT_FALSE(exists("errors_a.rlzrecord"));
  auto lines = RLZFileReadSections((report_ / "errors_b.rlzrecord").c_str(), false).value();
  ASSERT_EQ(lines.size(), 8u);
  const auto& entry = *lines[0].ifDictionary()->at("error").ifDictionary();
  EXPECT_EQ(*entry.at("domain").ifString(), "746573742e646f6d61696e");
  EXPECT_FALSE(entry.at("stacktrace").ifArray()->empty());
  EXPECT_EQ(entry.at("info").ifArray()->size(), 1u);
}

TEST_F(RLZUserLoggingTest, NothingIsRecordedBeforeSetUp) {
  RLZLog("too early");
  RLZUserLoggingRecordUserKeyValue("early", platform::Value("1"));
  initialize();
  settle();
  EXPECT_FALSE(exists("log_a.rlzrecord"));
  EXPECT_FALSE(exists("user_incremental_kv.rlzrecord"));
}

}  // namespace

namespace {

// Real threads: logs and keys from many callers at once land whole, one line each.
TEST_F(RLZUserLoggingTest, StressConcurrentLogsAndKeysLandWhole) {
  initialize(1 << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        RLZLog("thread " + std::to_string(t) + " line " + std::to_string(i));
        RLZUserLoggingRecordUserKeyValue("t" + std::to_string(t), platform::Value(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(userKeys().size(), 8u);
  EXPECT_EQ(userKeys().at("t3"), platform::Value("49"));
  EXPECT_EQ(RLZFileReadSections((report_ / "log_a.rlzrecord").c_str(), false)->size(), 400u);
}

}  // namespace
