#include "platform/notifications/notification_driver.h"

#include "platform/foundation/console.h"
#include "platform/foundation/home.h"
#include "platform/foundation/privacy_store.h"
#include "platform/foundation/thread_safety.h"
#include "platform/notifications/notification_state.h"

namespace platform {

NotificationState& NotificationState::shared() {
  static auto* state = [] {
    auto* created = new NotificationState;
    // Another home is another phone: its own answers.
    Home::addChangeObserver([created] {
      MutexLock lock(created->mutex);
      created->status.reset();
    });
    return created;
  }();
  return *state;
}

AuthorizationStatus NotificationState::currentStatus() {
  if (!status) {
    const auto stored = PrivacyStore::status(PrivacyStore::kNotificationsService);
    const bool known = stored && *stored >= static_cast<int>(AuthorizationStatus::NotDetermined) &&
                       *stored <= static_cast<int>(AuthorizationStatus::Ephemeral);
    status = known ? static_cast<AuthorizationStatus>(*stored) : AuthorizationStatus::NotDetermined;
  }
  return *status;
}

void NotificationState::storeStatus(AuthorizationStatus newStatus) {
  status = newStatus;
  Error error;
  if (!PrivacyStore::setStatus(PrivacyStore::kNotificationsService, static_cast<int>(newStatus), &error)) {
    Console::systemLog("Notifications: the permission could not be saved: " + error.description());
  }
}

namespace NotificationDriver {

namespace {

void resetState(std::optional<AuthorizationStatus> status) {
  {
    auto& n = NotificationState::shared();
    MutexLock lock(n.mutex);
    n.status = status;
    n.answer = true;
    n.answerError.reset();
    n.prompts = 0;
    n.foreground = true;
  }
  auto center = UserNotificationCenter::current();
  center->removeAllPendingNotificationRequests();
  center->removeAllDeliveredNotifications();
  center->setDelegate({});
}

}  // namespace

void reset() { resetState(AuthorizationStatus::NotDetermined); }

void forgetForRelaunch() { resetState(std::nullopt); }

void setAuthorizationStatus(AuthorizationStatus status) {
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  n.storeStatus(status);
}

void setAuthorizationAnswer(bool grant, std::optional<Error> error) {
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  n.answer = grant;
  n.answerError = std::move(error);
}

int authorizationPromptCount() {
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  return n.prompts;
}

std::vector<Scheduled> scheduled() {
  auto center = UserNotificationCenter::current();
  const auto requests = center->pendingNotificationRequests();
  std::vector<Scheduled> result;
  for (auto& [identifier, date] : center->pendingFireDates()) {
    Scheduled s{identifier, date, {}, {}, {}};
    // Identifiers are unique among pending requests: adding one replaces the other.
    for (const auto& r : requests) {
      if (r.identifier != identifier) continue;
      s.title = r.content.title;
      s.body = r.content.body;
      if (r.content.sound) s.sound = r.content.sound->name;
    }
    result.push_back(std::move(s));
  }
  return result;
}

void setAppInForeground(bool foreground) {
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  n.foreground = foreground;
}

bool isAppInForeground() {
  auto& n = NotificationState::shared();
  MutexLock lock(n.mutex);
  return n.foreground;
}

}  // namespace NotificationDriver
}  // namespace platform
