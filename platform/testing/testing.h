// Drivers for tests: a designated main thread, a manual clock, running queues until idle,
// advancing virtual time, a fresh home per test and capture of console output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/manual_clock.h"
#include "platform/testing/child_process.h"

namespace platform {
class DispatchQueue;
}

namespace platform::testing {

// Makes the calling thread the main thread (the main queue and main run loop run on it).
void becomeMainThread();
// Installs a fresh ManualClock as Clock::current() and returns it. Also starts a fresh timeline:
// delayed blocks, timer sources and main-run-loop timers of earlier tests never fire.
std::shared_ptr<ManualClock> useManualClock(Date start = Date::fromTimeIntervalSince1970(1'780'000'000));
// The manual clock in force (null under a real clock), without resetting anything.
std::shared_ptr<ManualClock> manualClock();
// Runs the main queue and main run loop on this (main) thread and waits for background queues
// until nothing is left to do at the current time. Throws platform::Exception when that has not
// happened after 300 seconds of real time (kSettleLimitSeconds): a hang, not slow work.
void runUntilIdle();
// Advances the manual clock by `seconds`, firing every timer, delayed dispatch and timer source
// that falls due (including work created during the advance) in due order, settling after each.
void advance(double seconds);
// As runUntilIdle and advance, but each settle waits for background queues up to `limitSeconds`
// of real time instead; one still busy then stops the call there, time moved no further. Whether
// everything ended idle: false is the caller's failure to report.
bool runUntilIdleWithin(double limitSeconds);
bool advanceWithin(double seconds, double limitSeconds);
// As runUntilIdle and advance, but waiting for background queues at most `waitSeconds` of real
// time in all: past that, the main thread's own work and timed work falling due still run in
// order, without waiting for the busy queues. Whether everything ended idle. For a driver that
// must stay responsive whatever a background queue does.
bool runUntilIdleWaitingAtMost(double waitSeconds);
bool advanceWaitingAtMost(double seconds, double waitSeconds);
// For a driver that keeps pace with a user: as above, but waiting only for the process's own
// background work (not for work waiting on another process or a server) and never moving time on
// while that work still runs: advancePaced answers the virtual seconds it moved, fewer than asked
// when the wait ran out first (the rest is the caller's to move later).
bool runUntilIdlePaced(double waitSeconds);
double advancePaced(double seconds, double waitSeconds);
// Waits until every block submitted to `queue` so far has run (main queue: runs them here). A
// suspended queue throws platform::Exception, since the wait could never end.
void drain(const std::shared_ptr<DispatchQueue>& queue);

// A fresh temporary home, removed again on destruction.
class TemporaryHome {
 public:
  TemporaryHome();
  ~TemporaryHome();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// While alive, `path` has the permission bits `mode` and the calling thread is held to them,
// whoever runs the test.
class RestrictedPermissions {
 public:
  RestrictedPermissions(std::filesystem::path path, std::uint32_t mode);
  ~RestrictedPermissions();
  RestrictedPermissions(const RestrictedPermissions&) = delete;
  RestrictedPermissions& operator=(const RestrictedPermissions&) = delete;

 private:
  std::filesystem::path path_;
  std::uint32_t savedMode_ = 0600;
  std::uint32_t savedEffective_ = 0;
};

// While alive, the file at `path` can be neither read nor written from the calling thread.
class UnreadableFile : public RestrictedPermissions {
 public:
  explicit UnreadableFile(std::filesystem::path path) : RestrictedPermissions(std::move(path), 0) {}
};

// While alive, the calling thread can read the folder at `path` and its files, but can create,
// rename or remove nothing in it.
class UnwritableFolder : public RestrictedPermissions {
 public:
  explicit UnwritableFolder(std::filesystem::path path) : RestrictedPermissions(std::move(path), 0555) {}
};

// FIFOs planted where a file is expected. Reading one blocks until a writer comes; if the code
// under test still runs after the time limit, every FIFO is opened for writing and closed until
// finish(), which frees any read waiting on it, and the code counts as having hung.
class PlantedFifos {
 public:
  explicit PlantedFifos(std::vector<std::filesystem::path> paths, double timeLimitSeconds = 10);
  ~PlantedFifos();
  PlantedFifos(const PlantedFifos&) = delete;
  PlantedFifos& operator=(const PlantedFifos&) = delete;
  // Whether every FIFO could be made.
  bool planted() const { return planted_; }
  // Stops the watchdog; whether the code under test had to be freed from a FIFO.
  bool finish() EXCLUDES(mutex_);

 private:
  std::vector<std::filesystem::path> paths_;
  bool planted_ = true;
  Mutex mutex_;
  ConditionVariable done_;
  bool finished_ GUARDED_BY(mutex_) = false;
  bool hung_ GUARDED_BY(mutex_) = false;
  std::thread watchdog_;

  void watch(double timeLimitSeconds) EXCLUDES(mutex_);
};

// Collects console prints and log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;   // both streams, in order
  std::vector<std::string> prints() const;
  std::vector<std::string> logs() const;
  bool contains(std::string_view fragment) const;
  void clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
  int sink_;
};

}  // namespace platform::testing
