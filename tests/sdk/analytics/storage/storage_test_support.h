// Builders of the messages the storage tests store, and a database opened in the test's home.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace storage_test {

inline std::shared_ptr<APMPBEventParam> stringParam(const std::string& name, const std::string& value) {
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), APMFieldIndex(*param, 1), name);
  NANOSetString(param.get(), APMFieldIndex(*param, 2), value);
  return param;
}

inline std::shared_ptr<APMPBEventParam> intParam(const std::string& name, std::int64_t value) {
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), APMFieldIndex(*param, 1), name);
  NANOSetInt64(param.get(), APMFieldIndex(*param, 3), value);
  return param;
}

// An event as the engine stores it: origin "app" in "_o" plus `extraParams` integer parameters.
inline std::shared_ptr<APMPBEvent> event(const std::string& name, double seconds, int extraParams = 1,
                                         bool withOrigin = true) {
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetString(event.get(), APMFieldIndex(*event, 2), name);
  NANOSetInt64(event.get(), APMFieldIndex(*event, 3), static_cast<std::int64_t>(seconds * 1000));
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  if (withOrigin) params.push_back(stringParam("_o", "app"));
  for (int i = 0; i < extraParams; ++i) params.push_back(intParam("p" + std::to_string(i), i));
  NANOSetArray(event.get(), APMFieldIndex(*event, 1), params);
  return event;
}

inline std::shared_ptr<APMPBMeasurementBundle> bundle(double endSeconds, const std::string& appID = "1:app",
                                                      int events = 1) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), APMFieldIndex(*bundle, 14), appID);
  NANOSetInt64(bundle.get(), APMFieldIndex(*bundle, 6), static_cast<std::int64_t>(endSeconds * 1000));
  std::vector<std::shared_ptr<APMPBEvent>> list;
  for (int i = 0; i < events; ++i) list.push_back(event("e" + std::to_string(i), endSeconds));
  NANOSetArray(bundle.get(), APMFieldIndex(*bundle, 2), list);
  return bundle;
}

inline std::string eventName(const APMPBEvent& event) {
  return NANOGetString(&event, APMFieldIndex(event, 2)).value_or("");
}

inline std::unique_ptr<APMDatabase> openDatabase(platform::Error* error = nullptr) {
  return APMDatabase::initWithDatabaseName(std::string(kAPMMeasurementDatabaseName), nullptr, error);
}

// Another connection on a database file, as a second process of the app, a backup tool or a
// shell on the file has one: on a thread of its own it runs `beginSQL` ("BEGIN EXCLUSIVE" or
// "BEGIN IMMEDIATE"), waiting a few seconds for a transaction the app may have open, and holds
// that lock until release(), or for at most `holdSeconds`.
class LockingConnection {
 public:
  LockingConnection(std::string path, std::string beginSQL, double holdSeconds = 10)
      : thread_([this, path = std::move(path), beginSQL = std::move(beginSQL), holdSeconds] {
          sqlite3* handle = nullptr;
          const bool opened = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
          if (opened) sqlite3_busy_timeout(handle, 4000);
          const bool ok = opened && sqlite3_exec(handle, beginSQL.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
          std::unique_lock lock(mutex_);
          state_ = ok ? State::locked : State::failed;
          changed_.notify_all();
          changed_.wait_for(lock, std::chrono::duration<double>(holdSeconds), [this] { return released_; });
          lock.unlock();
          if (ok) sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
          sqlite3_close(handle);
        }) {}
  ~LockingConnection() {
    release();
    thread_.join();
  }
  LockingConnection(const LockingConnection&) = delete;
  LockingConnection& operator=(const LockingConnection&) = delete;

  // Whether the lock was taken within `timeoutSeconds`: the connection's own few seconds of waiting
  // for the app's transaction and far more for a loaded machine.
  bool waitUntilLocked(double timeoutSeconds = 60) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [this] { return state_ != State::opening; });
    return state_ == State::locked;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  enum class State { opening, locked, failed };
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::opening;
  bool released_ = false;
  std::thread thread_;  // last: it uses the members above
};

// Another connection takes the measurement database's exclusive lock (making the file if the app
// has not yet) until release(), or for `holdSeconds` at most.
inline std::unique_ptr<LockingConnection> holdAnalyticsDatabase(double holdSeconds) {
  const std::string database = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  std::filesystem::create_directories(std::filesystem::path(database).parent_path());
  sqlite3* created = nullptr;
  sqlite3_open_v2(database.c_str(), &created, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_close(created);
  auto other = std::make_unique<LockingConnection>(database, "BEGIN EXCLUSIVE", holdSeconds);
  EXPECT_TRUE(other->waitUntilLocked());
  return other;
}

// The rows of `table`, read by a connection of its own; -1 when the file cannot be read.
inline std::int64_t rowCountOnDisk(const std::string& path, const std::string& table) {
  sqlite3* handle = nullptr;
  std::int64_t count = -1;
  if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, ("SELECT count(*) FROM " + table).c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      count = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(handle);
  return count;
}

// Sets how long every store waits for another connection's lock, for the scope.
class BusyTimeoutForScope {
 public:
  explicit BusyTimeoutForScope(int milliseconds) : previous_(APMSqliteStore::busyTimeoutMilliseconds()) {
    APMSqliteStore::setBusyTimeoutMilliseconds(milliseconds);
  }
  ~BusyTimeoutForScope() { APMSqliteStore::setBusyTimeoutMilliseconds(previous_); }
  BusyTimeoutForScope(const BusyTimeoutForScope&) = delete;
  BusyTimeoutForScope& operator=(const BusyTimeoutForScope&) = delete;

 private:
  int previous_;
};

}  // namespace storage_test
