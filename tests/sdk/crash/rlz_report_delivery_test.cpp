// Prepared reports handed to the real transport storage: what is stored is what an upload reads,
// whole or cut to fit; a record that cannot be read now costs an attempt, not the crash; a report
// handed over once is never handed over again.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crash_test_support.h"
#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/settings/rlz_settings.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "sdk/transport/core/vdtcor_transport.h"
#include "tests/sdk/transport/transport_fixture.h"
#include "tools/local-service/crash_report.h"

namespace {

namespace fs = std::filesystem;

// While alive, this thread reads files as their modes say, root or not: a mode-000 record is then
// unreadable, as it is for the app.
class ReadsAsModesSay {
 public:
  ReadsAsModesSay() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    header_.pid = 0;
    syscall(SYS_capset, &header_, reduced);
  }
  ~ReadsAsModesSay() { syscall(SYS_capset, &header_, saved_); }
  ReadsAsModesSay(const ReadsAsModesSay&) = delete;
  ReadsAsModesSay& operator=(const ReadsAsModesSay&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

class RLZReportDeliveryTest : public transport_tests::TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    RLZUserDefaults::resetStandardUserDefaultsForTesting();
    fileManager_ = std::make_shared<RLZFileManager>();
    fileManager_->createReportDirectories();
    auto arbiter = std::make_shared<RLZDataCollectionArbiter>(
        nullptr, platform::Value::Dictionary{{"VuduzaraRalitozeCollectionEnabled", platform::Value(true)}});
    auto settings = std::make_shared<RLZSettings>(fileManager_, nullptr);
    data_ = std::make_shared<RLZManagerData>("app", VDTCORTransport::initWithMappingID("1206", {}, 1002), nullptr,
                                             nullptr, fileManager_, arbiter, settings,
                                             std::make_shared<RLZOnDemandModel>(settings));
  }

  fs::path preparedPath(const std::string& name) const { return fs::path(fileManager_->preparedPath()) / name; }

  fs::path preparedReport(const std::string& name) { return reportIn(fileManager_->preparedPath(), name); }

  // A report as a crashed launch leaves it in `stage`.
  fs::path reportIn(const fs::path& stage, const std::string& name) {
    const fs::path dir = stage / name;
    fs::create_directories(dir);
    crash_test::writeFile(dir / "metadata.rlzrecord",
                          "{\"identity\":{\"build_version\":\"8.15.0\",\"session_id\":\"" + name +
                              "\",\"started_at\":100}}\n{\"host\":{\"platform\":\"ios\"}}\n"
                              "{\"application\":{\"build_version\":\"7\",\"display_version\":\"1.0\"}}\n");
    crash_test::writeFile(dir / "signal.rlzrecord", "{\"signal\":{\"time\":1}}\n{\"threads\":[]}\n");
    crash_test::writeFile(dir / "binary_images.rlzrecord", "{\"load\":{\"base\":0,\"size\":16,\"uuid\":\"u\"}}\n");
    return dir;
  }

  // One attempt at the report, as a launch makes it, and the storage's work after it.
  void handOff(const fs::path& report) {
    RLZReportUploader(data_).uploadPackagedReportAtPath(report.string(), RLZDataCollectionToken::validToken(), false);
    platform::testing::runUntilIdle();
  }

  // What the next launch does with the prepared reports it finds.
  void nextLaunchSends() {
    auto existing = std::make_shared<RLZExistingReportManager>(data_, std::make_shared<RLZReportUploader>(data_));
    existing->collectExistingReports();
    existing->sendUnsentReportsWithToken(RLZDataCollectionToken::validToken(), false);
    for (int i = 0; i < 3; ++i) {
      platform::testing::drain(data_->dispatchQueue);
      platform::testing::runUntilIdle();
    }
  }

  // Every report an upload of the crash target would carry now.
  std::vector<local_service::CrashReport> uploadable() {
    std::vector<local_service::CrashReport> reports;
    auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
    if (!events) return reports;
    for (const auto& event : *events) {
      const auto& bytes = event->serializedDataObjectBytes();
      EXPECT_TRUE(bytes);
      if (!bytes) continue;
      EXPECT_LE(bytes->size(), kVDTCORMaxEventPayloadBytes);
      std::string error;
      auto report = local_service::decodeCrashReport(std::string(bytes->begin(), bytes->end()), error);
      EXPECT_TRUE(report) << error;
      if (report) reports.push_back(std::move(*report));
    }
    // Uploaded: gone from the storage.
    settled(storage()->removeBatchWithID(*batchID, true));
    return reports;
  }

  std::shared_ptr<RLZFileManager> fileManager_;
  std::shared_ptr<RLZManagerData> data_;
};

// A report larger than an event goes out cut to fit: the largest file is cut, a log keeping its
// newest whole lines, and the records beside it travel whole. One that fits travels whole.
TEST_F(RLZReportDeliveryTest, AReportOfSeveralMebibytesReachesAnUploadWholeOrCutToFit) {
  struct Case {
    const char* name;
    std::uint64_t logBytes;
    bool whole;
  };
  for (const Case& c : {Case{"fits", 5u << 20, true}, Case{"too large", kVDTCORMaxEventArchiveBytes + (3u << 20), false}}) {
    const fs::path report = preparedReport(c.name);
    const std::string signal = crash_test::readFile(report / "signal.rlzrecord") + std::string(1u << 20, ' ') + "\n";
    crash_test::writeFile(report / "signal.rlzrecord", signal);
    const std::size_t last = crash_test::padLog(report / "log_a.rlzrecord", c.logBytes);
    const std::string log = crash_test::readFile(report / "log_a.rlzrecord");
    const std::string metadata = crash_test::readFile(report / "metadata.rlzrecord");

    handOff(report);

    const auto reports = uploadable();
    ASSERT_EQ(reports.size(), 1u) << c.name;
    const auto& sent = reports[0];
    EXPECT_EQ(*sent.file("signal.rlzrecord"), signal) << c.name;
    EXPECT_EQ(*sent.file("metadata.rlzrecord"), metadata) << c.name;
    ASSERT_NE(sent.file("log_a.rlzrecord"), nullptr) << c.name;
    const std::string& sentLog = *sent.file("log_a.rlzrecord");
    if (c.whole) {
      EXPECT_EQ(sentLog, log) << c.name;
    } else {
      EXPECT_GT(sentLog.size(), 4u << 20) << c.name;
      EXPECT_TRUE(log.ends_with(sentLog)) << c.name;
      EXPECT_TRUE(sentLog.starts_with("{\"log\":")) << c.name << ": not cut at a line";
      EXPECT_TRUE(sentLog.ends_with(crash_test::logRecordLine(last))) << c.name;
    }
    EXPECT_FALSE(fs::exists(report)) << c.name;
  }
}

// A record that cannot be read now (mode 000 here) is a failed attempt: nothing is stored and the
// report waits; readable again, it travels whole. Never readable, it is given up at its last
// attempt, never sent empty.
TEST_F(RLZReportDeliveryTest, AnUnreadableRecordCostsAnAttemptNotTheCrash) {
  struct Case {
    const char* name;
    int unreadableAttempts;
  };
  for (const Case& c : {Case{"readable again", 1}, Case{"never readable", kRLZMaxPackagingAttempts}}) {
    const fs::path report = preparedReport(c.name);
    const std::string signal = crash_test::readFile(report / "signal.rlzrecord");
    ::chmod((report / "signal.rlzrecord").c_str(), 0);
    for (int attempt = 0; attempt < c.unreadableAttempts; ++attempt) {
      {
        ReadsAsModesSay modes;
        handOff(report);
      }
      EXPECT_TRUE(uploadable().empty()) << c.name << " attempt " << attempt;
      // Given up at its last attempt.
      EXPECT_EQ(fs::exists(report / "signal.rlzrecord"), attempt + 1 < kRLZMaxPackagingAttempts)
          << c.name << " attempt " << attempt;
    }
    if (c.unreadableAttempts < kRLZMaxPackagingAttempts) {
      ::chmod((report / "signal.rlzrecord").c_str(), 0644);
      handOff(report);
      const auto reports = uploadable();
      ASSERT_EQ(reports.size(), 1u) << c.name;
      EXPECT_EQ(*reports[0].file("signal.rlzrecord"), signal) << c.name;
    }
    EXPECT_FALSE(fs::exists(report)) << c.name;
  }
}

// Bookkeeping files that a report brings from active, where the reporter never writes them (a
// stale or planted folder), count for nothing: the report is stored as if they were not there.
TEST_F(RLZReportDeliveryTest, BookkeepingFilesFromActiveCountForNothing) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string_view, const char*>> planted;
  };
  const std::vector<Case> cases = {
      {"sent", {{kRLZSentMarkerFileName, ""}}},
      {"failed thrice", {{kRLZPackagingFailuresFileName, "fff"}}},
      {"failed twice and cut short", {{kRLZPackagingFailuresFileName, "ff"}, {kRLZPackagingMarkerFileName, "u"}}},
  };
  for (const Case& c : cases) {
    const fs::path report = reportIn(fileManager_->activePath(), c.name);
    for (const auto& [file, contents] : c.planted) crash_test::writeFile(report / std::string(file), contents);
    nextLaunchSends();
    const auto reports = uploadable();
    ASSERT_EQ(reports.size(), 1u) << c.name;
    EXPECT_NE(reports[0].file("signal.rlzrecord"), nullptr) << c.name;
    for (const auto& stage : {fileManager_->activePath(), fileManager_->processingPath(), fileManager_->preparedPath()}) {
      EXPECT_FALSE(fs::exists(fs::path(stage) / c.name)) << c.name << " in " << stage;
    }
  }
}

// A report the transport stored is renamed as sent, and that name is synced into "prepared" before
// the removal starts: a power cut during the removal must not bring back the old name over what
// is left of the report, which the next launch would send again.
TEST_F(RLZReportDeliveryTest, ASentReportsNewNameIsSyncedBeforeItsRemoval) {
  const fs::path report = preparedReport("synced");
  platform::FileOperationRecorder recorder;
  handOff(report);
  ASSERT_EQ(uploadable().size(), 1u);
  const auto operations = recorder.operations();
  const fs::path prepared = fs::path(fileManager_->preparedPath()).lexically_normal();
  const fs::path sent = prepared / (std::string(kRLZSentReportPrefix) + "synced");
  auto find = [&](platform::FileOperation operation, const fs::path& path, std::size_t from) {
    return std::find_if(operations.begin() + static_cast<std::ptrdiff_t>(std::min(from, operations.size())),
                        operations.end(),
                        [&](const platform::FileOperationRecord& r) { return r.operation == operation && r.path == path; }) -
           operations.begin();
  };
  const auto renamed = static_cast<std::size_t>(find(platform::FileOperation::Rename, sent, 0));
  ASSERT_LT(renamed, operations.size()) << "not renamed as sent";
  const auto synced = static_cast<std::size_t>(find(platform::FileOperation::SyncDirectory, prepared, renamed));
  const auto removed = static_cast<std::size_t>(find(platform::FileOperation::Remove, sent, renamed));
  ASSERT_LT(removed, operations.size()) << "not removed";
  EXPECT_LT(synced, removed) << "the sent name is not synced before the removal";
}

// A folder nested deeper than the descriptors a process may hold (see FewDescriptors): removing
// the report fails however often it is tried.
void plantUnremovableFolder(const fs::path& report) {
  int fd = ::open(report.c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 3000 && fd >= 0; ++depth) {
    ::mkdirat(fd, "deep", 0755);
    const int next = ::openat(fd, "deep", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  if (fd >= 0) ::close(fd);
}

// While alive, the process may hold as many descriptors as a common shell allows.
class FewDescriptors {
 public:
  FewDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit few = saved_;
    few.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 1024);
    ::setrlimit(RLIMIT_NOFILE, &few);
  }
  ~FewDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  FewDescriptors(const FewDescriptors&) = delete;
  FewDescriptors& operator=(const FewDescriptors&) = delete;

 private:
  rlimit saved_{};
};

// While alive, the file cannot be removed, where the file system and the process's rights allow
// marking it so (root included); wherever it is moved meanwhile.
class Immutable {
 public:
  explicit Immutable(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~Immutable() {
    int flags = 0;
    if (set_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;

 private:
  int fd_;
  bool set_ = false;
};

// Handed over once, a report is never handed over again, even when it cannot be removed (its
// crash record fixed in place, or a folder nested too deep); and a report left without any record
// is never sent.
TEST_F(RLZReportDeliveryTest, AReportIsSentOnceAndNeverWithoutARecord) {
  FewDescriptors few;
  const fs::path stuck = preparedReport("stuck");
  plantUnremovableFolder(stuck);
  Immutable fixedInPlace(stuck / "signal.rlzrecord");
  handOff(stuck);
  const auto first = uploadable();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].file("signal.rlzrecord"), nullptr);
  // The removal did fail: something of the report is left.
  ASSERT_FALSE(fs::is_empty(fileManager_->preparedPath()));

  const fs::path empty = preparedReport("empty");
  fs::remove(empty / "signal.rlzrecord");
  fs::remove(empty / "binary_images.rlzrecord");
  for (int launch = 0; launch < 3; ++launch) {
    nextLaunchSends();
    EXPECT_TRUE(uploadable().empty()) << "launch " << launch;
  }
  EXPECT_FALSE(fs::exists(preparedPath("empty")));
}

// Hand-offs on real threads at once, as a launch's work queue and on-demand reports may make
// them in a process with several report managers: each report is stored once, and every one
// leaves its folder.
TEST_F(RLZReportDeliveryTest, HandOffsFromManyThreadsStoreEachReportOnce) {
  constexpr int kThreads = 6;
  constexpr int kReportsEach = 4;
  auto nameOf = [](int thread, int report) { return "r" + std::to_string(thread) + "x" + std::to_string(report); };
  std::vector<std::string> names;
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kReportsEach; ++r) names.push_back(nameOf(t, r));
  }
  for (const auto& name : names) preparedReport(name);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, nameOf] {
      RLZReportUploader uploader(data_);
      for (int r = 0; r < kReportsEach; ++r) {
        // Urgent: each waits, time-limited, for its store.
        uploader.uploadPackagedReportAtPath(preparedPath(nameOf(t, r)).string(), RLZDataCollectionToken::validToken(),
                                            true, 20);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();

  std::multiset<std::string> stored;
  for (const auto& report : uploadable()) {
    const std::string metadata = *report.file("metadata.rlzrecord");
    for (const auto& name : names) {
      if (metadata.find("\"session_id\":\"" + name + "\"") != std::string::npos) stored.insert(name);
    }
  }
  EXPECT_EQ(stored, std::multiset<std::string>(names.begin(), names.end()));
  EXPECT_TRUE(fs::is_empty(fileManager_->preparedPath()));
}

}  // namespace
