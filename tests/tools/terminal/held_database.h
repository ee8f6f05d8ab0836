// The analytics database held by another connection (a second instance, a backup, a shell), with
// the SDK's worker waiting for it as long as it is held, for the terminal's tests of what goes
// on meanwhile.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

// Another connection takes the measurement database's exclusive lock (making the file if the app
// has not yet) until release(), or for `holdSeconds` at most.
inline std::unique_ptr<storage_test::LockingConnection> holdAnalyticsDatabase(double holdSeconds) {
  const std::string database = APMMeasurementFilePath(kAPMMeasurementDatabaseName);
  std::filesystem::create_directories(std::filesystem::path(database).parent_path());
  sqlite3* created = nullptr;
  sqlite3_open_v2(database.c_str(), &created, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_close(created);
  auto other = std::make_unique<storage_test::LockingConnection>(database, "BEGIN EXCLUSIVE", holdSeconds);
  EXPECT_TRUE(other->waitUntilLocked());
  return other;
}

// While alive, the worker waits for a held database as long as it is held (by default it gives
// up after a few seconds).
class WorkerWaitsForTheLock : public storage_test::BusyTimeoutForScope {
 public:
  WorkerWaitsForTheLock() : BusyTimeoutForScope(120'000) {}
};
