// The SDK log's format walk and level filter, UUID redaction, the platform fact, and the report
// directories' listing, move and marker rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "crash_test_support.h"
#include "platform/foundation/error.h"
#include "platform/foundation/system_info.h"
#include "platform/ui/device.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

// A context of the SDK log's two fields only, in place of the process's for the test's length.
class SDKLogContext {
 public:
  SDKLogContext(const std::string& path, uint32_t level) : path_(path) {
    readonly_.logPath = path_.c_str();
    writable_.internalLogging.logFd = -1;
    writable_.internalLogging.logLevel = level;
    saved_ = _rlzContext;
    _rlzContext.readonly = &readonly_;
    _rlzContext.writable = &writable_;
  }
  ~SDKLogContext() {
    if (writable_.internalLogging.logFd >= 0) ::close(writable_.internalLogging.logFd);
    _rlzContext = saved_;
  }

 private:
  std::string path_;
  RLZReadOnlyContext readonly_{};
  RLZWritableContext writable_{};
  RLZContext saved_{};
};

TEST(RLZSDKLogTest, FormatWalk) {
  const auto path = crash_test::scratch("sdklog") / "sdk.log";
  {
    SDKLogContext context(path.string(), RLZSDKLogLevelDebug);
    RLZSDKFileLog(RLZSDKLogLevelWarn, "WARN  [%s:%d] Mapping: %p total: %zu K\n", "mapper", 12,
                  reinterpret_cast<void*>(0xdeadbeef00ull));
    RLZSDKFileLog(RLZSDKLogLevelInfo, "%d %u %x %s|%s|%% %i %l trailing %", -42, 4000000000u, 0xABCDEFu, "text",
                  static_cast<const char*>(nullptr));
    RLZSDKFileLog(RLZSDKLogLevelInfo, "\n%x %d\n", 0u, 0);
  }
  EXPECT_EQ(crash_test::readFile(path),
            "WARN  [mapper:12] Mapping: 0xdeadbeef00 total: %zu K\n"
            "-42 4000000000 abcdef text|(null)|%% %i %l trailing %\n"
            "0 0\n");
}

TEST(RLZSDKLogTest, LevelsBelowTheContextsAreDropped) {
  const auto path = crash_test::scratch("sdklog") / "levels.log";
  {
    SDKLogContext context(path.string(), RLZSDKLogLevelWarn);
    RLZSDKLogDebug("debug %d\n", 1);
    RLZSDKLogInfo("info %d\n", 2);
    RLZSDKLogWarn("warn %d\n", 3);
    RLZSDKLogError("error %d\n", 4);
  }
  const std::string text = crash_test::readFile(path);
  EXPECT_EQ(text.find("debug"), std::string::npos);
  EXPECT_EQ(text.find("info"), std::string::npos);
  const std::string function = "TestBody";
  EXPECT_NE(text.find("WARN  [" + function + ":"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR [" + function + ":"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("] error 4\n")) << text;

  // Without a log path nothing is opened or written.
  const auto none = crash_test::scratch("sdklog") / "none.log";
  {
    SDKLogContext context("", RLZSDKLogLevelDebug);
    RLZSDKLogError("lost\n");
  }
  EXPECT_FALSE(std::filesystem::exists(none));
}

TEST(RLZSDKLogTest, ABatchHoldsTheRecordersLinesUntilFlushedOrEnded) {
  const auto path = crash_test::scratch("sdklog") / "batch.log";
  std::filesystem::remove(path);
  SDKLogContext context(path.string(), RLZSDKLogLevelDebug);
  ASSERT_TRUE(RLZSDKLogBeginBatch());
  // A nested begin does not own the batch: its caller must not end it.
  EXPECT_FALSE(RLZSDKLogBeginBatch());
  RLZSDKFileLog(RLZSDKLogLevelWarn, "one\n");
  // Another thread's line goes out at once, and it cannot take the batch meanwhile.
  bool otherBegan = true;
  std::thread([&] {
    RLZSDKFileLog(RLZSDKLogLevelWarn, "other\n");
    otherBegan = RLZSDKLogBeginBatch();
  }).join();
  EXPECT_FALSE(otherBegan);
  EXPECT_EQ(crash_test::readFile(path), "other\n");
  RLZSDKLogFlushBatch();
  EXPECT_EQ(crash_test::readFile(path), "other\none\n");
  // More than the batch holds still arrives whole and in order.
  std::string expected = "other\none\n";
  for (int i = 0; i < 3000; ++i) {
    RLZSDKFileLog(RLZSDKLogLevelWarn, "line %d of the trace\n", i);
    expected += "line " + std::to_string(i) + " of the trace\n";
  }
  RLZSDKLogEndBatch();
  EXPECT_EQ(crash_test::readFile(path), expected);
  RLZSDKFileLog(RLZSDKLogLevelWarn, "after\n");
  EXPECT_EQ(crash_test::readFile(path), expected + "after\n");
  // Ended, the batch is free for the next recorder.
  ASSERT_TRUE(RLZSDKLogBeginBatch());
  RLZSDKLogEndBatch();
}

TEST(RLZCrashSafeTest, RedactUUIDs) {
  const std::string uuid = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
  const std::string stars = "********-****-****-****-************";
  const std::pair<std::string, std::string> cases[] = {
      {"lib (" + uuid + ") end", "lib (" + stars + ") end"},
      {"(short) then (" + uuid + ")", "(short) then (" + stars + ")"},
      {"(" + uuid + ")(" + uuid + ")", "(" + stars + ")(" + uuid + ")"},
      {"no groups at all", "no groups at all"},
      {"(" + uuid + " unclosed", "(" + uuid + " unclosed"},
      // 37 characters follow the first "(", 36 the second.
      {"((" + uuid + ")", "((" + stars + ")"},
      {"", ""},
  };
  for (const auto& [input, expected] : cases) {
    std::string text = input;
    RLZRedactUUIDs(text.data());
    EXPECT_EQ(text, expected) << input;
  }
  RLZRedactUUIDs(nullptr);
}

TEST(RLZApplicationFactsTest, IpadosFromTheModelOrThePadIdiom) {
  struct Case {
    std::string model;
    std::optional<bool> onMac;
    std::string platform;
  };
  const Case cases[] = {
      {"iPhone", false, "ios"},
      {"iPad", false, "ipados"},                 // pad idiom and model
      {"Acme ipad-like", false, "ipados"},       // model only (lower-case match)
      {"iPad", true, "ios_on_mac"},              // not "ios": the platform name stands
      {"iPhone", std::nullopt, "ios"},
  };
  for (const auto& c : cases) {
    auto facts = platform::SystemInfo::facts();
    facts.systemVersion = "17.0";
    facts.iOSAppOnMac = c.onMac;
    platform::SystemInfo::ScopedFacts scoped(facts);
    platform::Device::current().setModel(c.model);
    EXPECT_EQ(RLZApplicationGetVuduzaraPlatform(), c.platform) << c.model;
  }
  platform::Device::current().reset();
}

class RLZFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RLZFileManager::resetCrashMarkerCheckForTesting();
    ASSERT_TRUE(files_.createReportDirectories());
  }
  void TearDown() override { RLZFileManager::resetCrashMarkerCheckForTesting(); }
  static std::string at(const std::string& directory, const std::string& name) { return directory + "/" + name; }

  RLZFileManager files_;
  platform::testing::LogCapture log_;
};

TEST_F(RLZFileManagerTest, ListingsLeaveOutHiddenEntries) {
  const std::string active = files_.activePath();
  for (const char* name : {".hidden", "..odd"}) crash_test::writeFile(at(active, name), "x");
  for (const char* name : {"a1", "b2.clsrecord", ".hiddendir"}) std::filesystem::create_directories(at(active, name));
  auto listed = files_.activePathContents();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{at(active, "a1"), at(active, "b2.clsrecord")}));

  std::vector<std::pair<std::string, std::string>> seen;
  files_.enumerateFilesInDirectory(active, [&](const std::string& path, const std::string& extension) {
    seen.emplace_back(path, extension);
  });
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{at(active, "a1"), ""},
                                                                     {at(active, "b2.clsrecord"), "clsrecord"}}));
  files_.enumerateFilesInDirectory(active, nullptr);
  EXPECT_TRUE(files_.contentsOfDirectory(at(active, "missing")).empty());

  // Removing the contents keeps hidden entries, which are never listed.
  EXPECT_TRUE(files_.removeContentsOfDirectoryAtPath(active));
  EXPECT_TRUE(std::filesystem::exists(at(active, ".hidden")));
  EXPECT_TRUE(files_.activePathContents().empty());
}

TEST_F(RLZFileManagerTest, RemoveAndMoveFailuresAreLogged) {
  EXPECT_FALSE(files_.removeItemAtPath(at(files_.activePath(), "missing")));
  EXPECT_TRUE(crash_test::logged(log_, "Failed to remove file " + at(files_.activePath(), "missing")));
  EXPECT_FALSE(files_.removeItemAtPath(std::nullopt));

  const std::string report = at(files_.activePath(), "0123");
  ASSERT_TRUE(files_.createDirectoryAtPath(report));
  crash_test::writeFile(at(report, "metadata.clsrecord"), "active");
  const std::string existing = at(files_.processingPath(), "0123");
  ASSERT_TRUE(files_.createDirectoryAtPath(existing));
  crash_test::writeFile(at(existing, "metadata.clsrecord"), "processing");
  EXPECT_FALSE(files_.moveItemAtPath(std::optional<std::string>(report), std::optional<std::string>(files_.processingPath())));
  EXPECT_TRUE(crash_test::logged(log_, "Failed to move file: "));
  EXPECT_EQ(crash_test::readFile(at(existing, "metadata.clsrecord")), "processing");
  EXPECT_EQ(crash_test::readFile(at(report, "metadata.clsrecord")), "active");

  EXPECT_FALSE(files_.moveItemAtPath(std::nullopt, std::optional<std::string>(files_.preparedPath())));
  EXPECT_TRUE(crash_test::logged(log_, "Failed to move file, inputs invalid"));
  EXPECT_TRUE(files_.moveItemAtPath(std::optional<std::string>(report), std::optional<std::string>(files_.preparedPath())));
  EXPECT_EQ(crash_test::readFile(at(at(files_.preparedPath(), "0123"), "metadata.clsrecord")), "active");

  platform::Error error;
  EXPECT_FALSE(files_.moveItemAtPath(report, at(files_.preparedPath(), "x"), &error));
  EXPECT_TRUE(error);
}

TEST_F(RLZFileManagerTest, CrashMarkerIsReadOncePerProcess) {
  const std::string marker = at(files_.rootPath(), "previously-crashed");
  crash_test::writeFile(marker, "");
  EXPECT_TRUE(files_.didCrashOnPreviousExecution());
  std::filesystem::remove(marker);
  EXPECT_TRUE(files_.didCrashOnPreviousExecution());
  // Another object in the same process answers without looking.
  crash_test::writeFile(marker, "");
  RLZFileManager other;
  EXPECT_FALSE(other.didCrashOnPreviousExecution());
}

TEST_F(RLZFileManagerTest, MetricKitDiagnosticsFolderIsUnderCaches) {
  const auto folder = std::filesystem::path(files_.cachesPath()) / "MetricKit" / "Diagnostics";
  EXPECT_FALSE(files_.metricKitDiagnosticFileExists());
  std::filesystem::create_directories(folder);
  crash_test::writeFile(folder / ".DS_Store", "");
  EXPECT_FALSE(files_.metricKitDiagnosticFileExists());
  crash_test::writeFile(folder / "payload.json", "{}");
  EXPECT_TRUE(files_.metricKitDiagnosticFileExists());

  const std::string report = at(files_.activePath(), "abc");
  ASSERT_TRUE(files_.createDirectoryAtPath(report));
  EXPECT_TRUE(files_.createEmptyMetricKitFile(report));
  EXPECT_EQ(std::filesystem::file_size(at(report, "metric_kit_fatal.rlzrecord")), 0u);
}

}  // namespace
