// Drivers for tests: a designated main thread, a manual clock, running queues until idle,
// advancing virtual time, a fresh home per test and capture of console output.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/runloop/clock.h"

namespace platform {
class DispatchQueue;
}

namespace platform::testing {

// A clock that moves only when told. Wall date and uptime advance together; setDate moves only
// the wall date (a user changing the device's clock).
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Date start = Date::fromTimeIntervalSince1970(1'780'000'000), double uptime = 1000);
  Date now() const override;
  double uptime() const override;
  bool isManual() const override { return true; }
  void setDate(Date date);
  // Moves both by `seconds` without firing anything; use platform::testing::advance to fire.
  void move(double seconds);

 private:
  mutable std::mutex mutex_;
  Date date_;
  double uptime_;
};

// Makes the calling thread the main thread (the main queue and main run loop run on it).
void becomeMainThread();
// Installs a fresh ManualClock as Clock::current() and returns it.
std::shared_ptr<ManualClock> useManualClock(Date start = Date::fromTimeIntervalSince1970(1'780'000'000));
// Runs the main queue and main run loop on this (main) thread and waits for background queues
// until nothing is left to do at the current time.
void runUntilIdle();
// Advances the manual clock by `seconds`, firing every timer, delayed dispatch and timer source
// that falls due (including work created during the advance) in due order, settling after each.
void advance(double seconds);
// Waits until every block submitted to `queue` so far has run (main queue: runs them here).
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
