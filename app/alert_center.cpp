#include "app/alert_center.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/foundation/bundle.h"
#include "platform/foundation/console.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/notifications/user_notification_center.h"

namespace {

platform::Mutex& sharedMutex() {
  static platform::Mutex mutex;
  return mutex;
}

std::shared_ptr<AlertCenter>& sharedInstance() REQUIRES(sharedMutex()) {
  static std::shared_ptr<AlertCenter> instance;
  return instance;
}

}  // namespace

std::shared_ptr<AlertCenter> AlertCenter::shared() {
  platform::MutexLock lock(sharedMutex());
  auto& instance = sharedInstance();
  if (!instance) instance = std::make_shared<AlertCenter>();
  return instance;
}

void AlertCenter::resetSharedForTesting() {
  platform::MutexLock lock(sharedMutex());
  sharedInstance().reset();
}

AlertCenter::AlertCenter() : localNotification_(platform::UserNotificationCenter::current()) {}

double AlertCenter::breakTimeInterval() const {
  platform::MutexLock lock(mutex_);
  return breakTimeInterval_;
}

void AlertCenter::setBreakTimeInterval(double minutes) {
  platform::MutexLock lock(mutex_);
  breakTimeInterval_ = minutes;
}

void AlertCenter::scheduleBreakEndNotification() {
  double minutes = breakTimeInterval();
  // NaN fails every comparison, so it is caught by the negated test.
  if (!(minutes >= 1)) minutes = 1;

  platform::NotificationRequest request;
  request.identifier = std::string(kRequestIdentifier);
  if (auto bundle = platform::Bundle::main()) request.content.title = bundle->localizedString("break_alert_finished");
  request.content.sound = platform::NotificationSound::soundNamed(std::string(kSoundName));
  request.trigger = platform::TimeIntervalNotificationTrigger{minutes * 60.0, false};
  localNotification_->add(std::move(request), [](const platform::Error* error) {
    if (error) platform::Console::print(error->localizedDescription());
  });
}
