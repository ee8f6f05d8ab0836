// A logged event, once the store says it is written, survives a kill of the process: a child
// commits raw events in a loop and reports each success; it is killed at a random moment.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <random>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/kill_test_support.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

constexpr const char* kChildHomeVariable = "FOCUS_STORAGE_KILL_CHILD_HOME";
constexpr const char* kChildRoundVariable = "FOCUS_STORAGE_KILL_CHILD_ROUND";
using kill_test::kAckDescriptor;

// Runs only inside the spawned child: commits until killed, acknowledging each committed index.
TEST(APMDatabaseKillChild, CommitsUntilKilled) {
  const char* home = std::getenv(kChildHomeVariable);
  if (!home) GTEST_SKIP() << "runs only as the child of the kill test";
  platform::Home::set(home);
  const std::string round = std::getenv(kChildRoundVariable);
  auto db = storage_test::openDatabase();
  ASSERT_TRUE(db);
  for (std::uint32_t i = 0;; ++i) {
    auto event = storage_test::event("r" + round + "_" + std::to_string(i), 1'780'000'000 + i, 10);
    const bool written = db->performTransaction(
        [&] { return db->insertRawEvent(event.get(), 7, false, nullptr); });
    if (written && ::write(kAckDescriptor, &i, sizeof i) != sizeof i) return;
  }
}

TEST(APMDatabaseKillTest, CommittedEventsSurviveSigkill) {
  const std::string home = platform::Home::path().string();
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  std::mt19937 random(12345);

  for (int round = 0; round < 50; ++round) {
    const auto child = kill_test::spawnSelf(
        "APMDatabaseKillChild.*", {std::string(kChildHomeVariable) + "=" + home,
                                   std::string(kChildRoundVariable) + "=" + std::to_string(round)});
    ASSERT_GE(child.acks, 0);

    // Kill after a random number of acknowledged commits, so the child is caught mid-write.
    const int killAfter = std::uniform_int_distribution<int>(1, 15)(random);
    std::vector<std::uint32_t> committed;
    std::uint32_t index = 0;
    auto acknowledged = platform::testing::PipeRead::Complete;
    while (static_cast<int>(committed.size()) < killAfter) {
      acknowledged = platform::testing::readFromPipe(child.acks, &index, sizeof index, kill_test::kAckSeconds);
      if (acknowledged != platform::testing::PipeRead::Complete) break;
      committed.push_back(index);
    }
    ::kill(child.pid, SIGKILL);
    platform::testing::waitForChild(child.pid, 30);
    // Killed and reaped: the pipe ends at once unless something else holds it open.
    while (platform::testing::readFromPipe(child.acks, &index, sizeof index, kill_test::kAckSeconds) ==
           platform::testing::PipeRead::Complete) {
      committed.push_back(index);
    }
    ::close(child.acks);
    ASSERT_EQ(acknowledged, platform::testing::PipeRead::Complete)
        << "round " << round << ": the child stopped acknowledging (ended or stuck)";
    ASSERT_FALSE(committed.empty()) << "round " << round << ": the child never committed";

    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") << "round " << round;
    sqlite3_finalize(check);
    sqlite3_stmt* find = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT count(1) FROM raw_events WHERE name = ?", -1, &find, nullptr),
              SQLITE_OK);
    for (std::uint32_t i : committed) {
      const std::string name = "r" + std::to_string(round) + "_" + std::to_string(i);
      sqlite3_bind_text(find, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      ASSERT_EQ(sqlite3_step(find), SQLITE_ROW);
      EXPECT_EQ(sqlite3_column_int(find, 0), 1) << name << " was reported written but is gone";
      sqlite3_reset(find);
    }
    sqlite3_finalize(find);
    sqlite3_close(handle);
  }
}

}  // namespace
