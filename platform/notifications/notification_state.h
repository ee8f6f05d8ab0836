// Process-wide state of the notification stand-in that the driver sets.
#pragma once

#include <mutex>
#include <optional>

#include "platform/foundation/error.h"
#include "platform/notifications/user_notification_center.h"

namespace platform {

struct NotificationState {
  std::mutex mutex;
  AuthorizationStatus status = AuthorizationStatus::NotDetermined;
  bool answer = true;
  std::optional<Error> answerError;
  int prompts = 0;
  bool foreground = true;

  static NotificationState& shared();
};

}  // namespace platform
