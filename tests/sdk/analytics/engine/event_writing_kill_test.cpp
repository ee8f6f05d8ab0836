// An event the pipeline committed survives a kill of the process: a child logs events through
// the public interface and acknowledges each one its listener sees (the listener runs after the
// event's store transaction ended); it is killed at a random moment, and every acknowledged event
// must be in the database, which must be intact.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <condition_variable>
#include <cstdlib>
#include <random>
#include <set>

#include "event_writing_fixture.h"
#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/kill_test_support.h"

namespace {

using engine_test::EventWritingTest;

constexpr const char* kChildHomeVariable = "FOCUS_PIPELINE_KILL_CHILD_HOME";
constexpr const char* kChildRoundVariable = "FOCUS_PIPELINE_KILL_CHILD_ROUND";
using kill_test::kAckDescriptor;
constexpr std::int64_t kRoundStride = 1'000'000;

using EventPipelineKillChild = EventWritingTest;

// Runs only inside the spawned child.
TEST_F(EventPipelineKillChild, LogsUntilKilled) {
  const char* home = std::getenv(kChildHomeVariable);
  if (!home) GTEST_SKIP() << "runs only as the child of the kill test";
  platform::Home::set(home);
  freshProcess();
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)}, {"CFBundleShortVersionString", "1.2"}});
  const std::int64_t round = std::atoll(std::getenv(kChildRoundVariable));
  configure();

  std::mutex mutex;
  std::condition_variable seen;
  std::int64_t acknowledged = -1;
  APMAnalytics::addLogEventListener([&](const std::shared_ptr<const APMEvent>& event) {
    const auto it = event->parameters().find("n");
    if (it == event->parameters().end() || !it->second.apmValue()) return;
    const std::int64_t n = (*it->second.apmValue())->int64Value();
    if (::write(kAckDescriptor, &n, sizeof n) != sizeof n) std::_Exit(1);
    std::lock_guard lock(mutex);
    acknowledged = n;
    seen.notify_all();
  });
  for (std::int64_t i = 0;; ++i) {
    const std::int64_t n = round * kRoundStride + i;
    DOREvoredire::logEventWithName("tick", {{"n", APMObject(APMValue::initWithInt64(n))}});
    std::unique_lock lock(mutex);
    seen.wait(lock, [&] { return acknowledged == n; });
  }
}

TEST(EventPipelineKillTest, CommittedEventsSurviveSigkill) {
  const std::string home = platform::Home::path().string();
  std::mt19937 random(20261210);

  for (int round = 0; round < 50; ++round) {
    const auto child = kill_test::spawnSelf(
        "EventPipelineKillChild.*", {std::string(kChildHomeVariable) + "=" + home,
                                     std::string(kChildRoundVariable) + "=" + std::to_string(round)});
    ASSERT_GE(child.acks, 0);

    // Killed after a random number of acknowledged events, or a moment into the next one.
    const int killAfter = std::uniform_int_distribution<int>(1, 15)(random);
    const int delayMicros = std::uniform_int_distribution<int>(0, 3000)(random);
    std::set<std::int64_t> committed;
    std::int64_t n = 0;
    auto acknowledged = platform::testing::PipeRead::Complete;
    while (static_cast<int>(committed.size()) < killAfter) {
      acknowledged = platform::testing::readFromPipe(child.acks, &n, sizeof n, kill_test::kAckSeconds);
      if (acknowledged != platform::testing::PipeRead::Complete) break;
      committed.insert(n);
    }
    ::usleep(delayMicros);
    ::kill(child.pid, SIGKILL);
    platform::testing::waitForChild(child.pid, 30);
    // Killed and reaped: the pipe ends at once unless something else holds it open.
    while (platform::testing::readFromPipe(child.acks, &n, sizeof n, kill_test::kAckSeconds) ==
           platform::testing::PipeRead::Complete) {
      committed.insert(n);
    }
    ::close(child.acks);
    ASSERT_EQ(acknowledged, platform::testing::PipeRead::Complete)
        << "round " << round << ": the child stopped acknowledging (ended or stuck)";
    ASSERT_FALSE(committed.empty()) << "round " << round << ": the child never committed";

    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName)).c_str(), &handle,
                              SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") << "round " << round;
    sqlite3_finalize(check);

    std::set<std::int64_t> stored;
    sqlite3_stmt* rows = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT data FROM raw_events WHERE name = 'tick'", -1, &rows, nullptr),
              SQLITE_OK);
    while (sqlite3_step(rows) == SQLITE_ROW) {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(rows, 0));
      const platform::Data data(bytes, bytes + sqlite3_column_bytes(rows, 0));
      auto proto = APMPBEvent::initWithBuffer(data);
      ASSERT_TRUE(proto);
      NANOSetString(proto.get(), APMFieldIndex(*proto, 2), "tick");
      const auto event = APMEvent::initWithEventProto(*proto);
      ASSERT_TRUE(event);
      stored.insert(engine_test::storedInt(engine_test::StoredEvent{"tick", 0, false, "", event->parameters()}, "n"));
    }
    sqlite3_finalize(rows);
    sqlite3_close(handle);
    for (std::int64_t i : committed) EXPECT_TRUE(stored.count(i)) << i << " was committed but is gone";
  }
}

}  // namespace
