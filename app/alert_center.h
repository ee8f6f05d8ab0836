// The local notification that tells a user who left the app that the break is over. The card
// screen sets the coming break's length; the break screen schedules the notification when it
// starts and withdraws what is pending when it ends.
#pragma once

#include <memory>
#include <string_view>

#include "platform/foundation/thread_safety.h"

namespace platform {
class UserNotificationCenter;
}

class AlertCenter {
 public:
  static constexpr std::string_view kRequestIdentifier = "alert";
  static constexpr std::string_view kSoundName = "bird.mp3";

  static std::shared_ptr<AlertCenter> shared();
  static void resetSharedForTesting();

  AlertCenter();

  const std::shared_ptr<platform::UserNotificationCenter>& localNotification() const { return localNotification_; }

  // Minutes.
  double breakTimeInterval() const;
  void setBreakTimeInterval(double minutes);

  // Adds the request "alert" (replacing one still pending) to fire when the break ends. A length
  // below one minute (only a tampered store gives one) is scheduled as one minute.
  void scheduleBreakEndNotification();

 private:
  std::shared_ptr<platform::UserNotificationCenter> localNotification_;
  mutable platform::Mutex mutex_;
  double breakTimeInterval_ GUARDED_BY(mutex_) = 0;
};
