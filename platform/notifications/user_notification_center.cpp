#include "platform/notifications/user_notification_center.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"
#include "platform/notifications/notification_state.h"
#include "platform/ui/application.h"

namespace platform {

namespace {

bool allowsShowing(AuthorizationStatus status) {
  return status == AuthorizationStatus::Authorized || status == AuthorizationStatus::Provisional ||
         status == AuthorizationStatus::Ephemeral;
}

NotificationSettings settingsNow() {
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  const auto status = n.currentStatus();
  const bool allowed = allowsShowing(status);
  return {status, allowed, allowed};
}

Error invalidTrigger(const std::string& reason) {
  return Error(std::string(kUserNotificationsErrorDomain), kUserNotificationsErrorInvalidTrigger,
               {{std::string(kLocalizedDescriptionKey), Value(reason)}});
}

std::optional<Error> checkTrigger(const std::optional<TimeIntervalNotificationTrigger>& trigger) {
  if (!trigger) return std::nullopt;
  const double interval = trigger->timeInterval;
  if (!(interval > 0) || !std::isfinite(interval)) return invalidTrigger("time interval must be greater than 0");
  if (trigger->repeats && interval < 60) return invalidTrigger("time interval must be at least 60 if repeating");
  return std::nullopt;
}

// The running application's state decides; without one (tests of this centre alone), the driver's
// flag stands in for it.
bool appIsInFront() {
  if (auto app = Application::shared()) return app->applicationState() != ApplicationState::Background;
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  return n.foreground;
}

}  // namespace

struct UserNotificationCenter::State {
  struct Entry {
    NotificationRequest request;
    Date fireDate;
    std::uint64_t generation;
  };
  mutable Mutex mutex;
  std::vector<Entry> pending GUARDED_BY(mutex);  // in order of addition
  std::vector<UserNotification> delivered GUARDED_BY(mutex);
  std::weak_ptr<UserNotificationCenterDelegate> delegate GUARDED_BY(mutex);
  std::uint64_t generations GUARDED_BY(mutex) = 0;
};

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::current() {
  // Never destroyed: its queue may still run scheduled work while the process exits.
  static const auto* center = new std::shared_ptr<UserNotificationCenter>(std::make_shared<UserNotificationCenter>());
  return *center;
}

UserNotificationCenter::UserNotificationCenter()
    : queue_(DispatchQueue::serial("platform.notifications.center")), s_(std::make_unique<State>()) {}

UserNotificationCenter::~UserNotificationCenter() = default;

void UserNotificationCenter::requestAuthorization(unsigned options,
                                                  std::function<void(bool granted, const Error* error)> completion) {
  queue_->async([options, completion = std::move(completion)] {
    bool granted;
    std::optional<Error> error;
    {
      auto& n = NotificationState::shared();
      MutexLock lock(n.mutex);
      if (n.currentStatus() == AuthorizationStatus::NotDetermined) {
        if (options & kAuthorizationOptionProvisional) {
          n.storeStatus(AuthorizationStatus::Provisional);
        } else {
          ++n.prompts;
          n.storeStatus(n.answer ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied);
          error = n.answerError;
        }
      }
      granted = allowsShowing(n.currentStatus());
    }
    if (completion) completion(granted, error ? &*error : nullptr);
  });
}

void UserNotificationCenter::getNotificationSettings(std::function<void(const NotificationSettings&)> completion) {
  queue_->async([completion = std::move(completion)] {
    if (completion) completion(settingsNow());
  });
}

NotificationSettings UserNotificationCenter::notificationSettings() const { return settingsNow(); }

void UserNotificationCenter::add(NotificationRequest request, std::function<void(const Error* error)> completion) {
  auto refused = checkTrigger(request.trigger);
  if (!refused) {
    const double delay = request.trigger ? request.trigger->timeInterval : 0.0;
    const std::string identifier = request.identifier;
    std::uint64_t generation;
    {
      MutexLock lock(s_->mutex);
      generation = ++s_->generations;
      // A request with a pending identifier takes the old one's place.
      std::erase_if(s_->pending, [&](const State::Entry& e) { return e.request.identifier == identifier; });
      s_->pending.push_back({std::move(request), Date::now().addingTimeInterval(delay), generation});
    }
    std::weak_ptr<UserNotificationCenter> weak = weak_from_this();
    queue_->after(delay, [weak, identifier, generation] {
      if (auto self = weak.lock()) self->fire(identifier, generation);
    });
  }
  if (completion) {
    queue_->async([refused = std::move(refused), completion = std::move(completion)] {
      completion(refused ? &*refused : nullptr);
    });
  }
}

void UserNotificationCenter::getPendingNotificationRequests(
    std::function<void(const std::vector<NotificationRequest>&)> completion) {
  if (!completion) return;
  queue_->async([weak = weak_from_this(), completion = std::move(completion)] {
    auto self = weak.lock();
    completion(self ? self->pendingNotificationRequests() : std::vector<NotificationRequest>{});
  });
}

std::vector<NotificationRequest> UserNotificationCenter::pendingNotificationRequests() const {
  std::vector<State::Entry> entries;
  {
    MutexLock lock(s_->mutex);
    entries = s_->pending;
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const State::Entry& a, const State::Entry& b) { return a.fireDate < b.fireDate; });
  std::vector<NotificationRequest> result;
  result.reserve(entries.size());
  for (auto& e : entries) result.push_back(std::move(e.request));
  return result;
}

std::vector<std::pair<std::string, Date>> UserNotificationCenter::pendingFireDates() const {
  std::vector<std::pair<std::string, Date>> result;
  {
    MutexLock lock(s_->mutex);
    for (const auto& e : s_->pending) result.emplace_back(e.request.identifier, e.fireDate);
  }
  std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return result;
}

void UserNotificationCenter::removePendingNotificationRequests(const std::vector<std::string>& identifiers) {
  MutexLock lock(s_->mutex);
  std::erase_if(s_->pending, [&](const State::Entry& e) {
    return std::find(identifiers.begin(), identifiers.end(), e.request.identifier) != identifiers.end();
  });
}

void UserNotificationCenter::removeAllPendingNotificationRequests() {
  MutexLock lock(s_->mutex);
  s_->pending.clear();
}

std::vector<UserNotification> UserNotificationCenter::deliveredNotifications() const {
  MutexLock lock(s_->mutex);
  return s_->delivered;
}

void UserNotificationCenter::removeAllDeliveredNotifications() {
  MutexLock lock(s_->mutex);
  s_->delivered.clear();
}

void UserNotificationCenter::setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) {
  MutexLock lock(s_->mutex);
  s_->delegate = std::move(delegate);
}

std::shared_ptr<UserNotificationCenterDelegate> UserNotificationCenter::delegate() const {
  MutexLock lock(s_->mutex);
  return s_->delegate.lock();
}

void UserNotificationCenter::fire(const std::string& identifier, std::uint64_t generation) {
  std::optional<UserNotification> notification;
  std::optional<std::uint64_t> again;
  double interval = 0;
  {
    MutexLock lock(s_->mutex);
    auto it = std::find_if(s_->pending.begin(), s_->pending.end(), [&](const State::Entry& e) {
      return e.request.identifier == identifier && e.generation == generation;
    });
    // Removed or replaced since it was scheduled.
    if (it == s_->pending.end()) return;
    notification = UserNotification{Date::now(), it->request};
    if (it->request.trigger && it->request.trigger->repeats) {
      interval = it->request.trigger->timeInterval;
      it->generation = ++s_->generations;
      it->fireDate = it->fireDate.addingTimeInterval(interval);
      again = it->generation;
    } else {
      s_->pending.erase(it);
    }
  }
  if (again) {
    std::weak_ptr<UserNotificationCenter> weak = weak_from_this();
    queue_->after(interval, [weak, identifier, generation = *again] {
      if (auto self = weak.lock()) self->fire(identifier, generation);
    });
  }

  if (!allowsShowing(settingsNow().authorizationStatus)) return;
  if (!appIsInFront()) {
    show(*notification);
    return;
  }
  // In front, the app's delegate decides on the main queue; without one nothing shows.
  auto delegate = this->delegate();
  if (!delegate) return;
  std::weak_ptr<UserNotificationCenter> weak = weak_from_this();
  DispatchQueue::main()->async([weak, delegate, n = std::move(*notification)] {
    auto self = weak.lock();
    if (!self) return;
    delegate->willPresentNotification(*self, n, [weak, n](unsigned options) {
      auto self = weak.lock();
      if (self && (options & ~static_cast<unsigned>(kPresentationOptionBadge)) != 0) self->show(n);
    });
  });
}

void UserNotificationCenter::show(const UserNotification& notification) {
  {
    MutexLock lock(s_->mutex);
    s_->delivered.push_back(notification);
  }
  const auto& r = notification.request;
  const std::string sound = r.content.sound ? r.content.sound->name : std::string();
  Trace::record("notification", r.identifier + " | " + r.content.title + " | " + r.content.body + " | " + sound);
}

}  // namespace platform
