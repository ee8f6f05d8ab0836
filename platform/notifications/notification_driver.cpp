#include "platform/notifications/notification_driver.h"

#include "platform/notifications/notification_state.h"

namespace platform {

NotificationState& NotificationState::shared() {
  static auto* state = new NotificationState;
  return *state;
}

namespace NotificationDriver {

void reset() {
  {
    auto& n = NotificationState::shared();
    std::lock_guard lock(n.mutex);
    n.status = AuthorizationStatus::NotDetermined;
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

void setAuthorizationStatus(AuthorizationStatus status) {
  auto& n = NotificationState::shared();
  std::lock_guard lock(n.mutex);
  n.status = status;
}

void setAuthorizationAnswer(bool grant, std::optional<Error> error) {
  auto& n = NotificationState::shared();
  std::lock_guard lock(n.mutex);
  n.answer = grant;
  n.answerError = std::move(error);
}

int authorizationPromptCount() {
  auto& n = NotificationState::shared();
  std::lock_guard lock(n.mutex);
  return n.prompts;
}

std::vector<Scheduled> scheduled() {
  std::vector<Scheduled> result;
  for (auto& [identifier, date] : UserNotificationCenter::current()->pendingFireDates()) result.push_back({identifier, date});
  return result;
}

void setAppInForeground(bool foreground) {
  auto& n = NotificationState::shared();
  std::lock_guard lock(n.mutex);
  n.foreground = foreground;
}

bool isAppInForeground() {
  auto& n = NotificationState::shared();
  std::lock_guard lock(n.mutex);
  return n.foreground;
}

}  // namespace NotificationDriver
}  // namespace platform
