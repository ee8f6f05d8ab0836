// Process-wide state of the notification stand-in that the driver sets.
#pragma once

#include <mutex>
#include <optional>

#include "platform/foundation/error.h"
#include "platform/notifications/user_notification_center.h"

namespace platform {

struct NotificationState {
  std::mutex mutex;
  // The system keeps the status across launches; none until read from its store (again after a
  // change of home or a relaunch).
  std::optional<AuthorizationStatus> status;
  bool answer = true;
  std::optional<Error> answerError;
  int prompts = 0;
  bool foreground = true;

  static NotificationState& shared();

  // Both with `mutex` held.
  AuthorizationStatus currentStatus();
  void storeStatus(AuthorizationStatus newStatus);
};

}  // namespace platform
