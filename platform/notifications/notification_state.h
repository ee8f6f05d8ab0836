// Process-wide state of the notification stand-in that the driver sets.
#pragma once

#include <optional>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/notifications/user_notification_center.h"

namespace platform {

struct NotificationState {
  Mutex mutex;
  // The system keeps the status across launches; none until read from its store (again after a
  // change of home or a relaunch).
  std::optional<AuthorizationStatus> status GUARDED_BY(mutex);
  bool answer GUARDED_BY(mutex) = true;
  std::optional<Error> answerError GUARDED_BY(mutex);
  int prompts GUARDED_BY(mutex) = 0;
  bool foreground GUARDED_BY(mutex) = true;

  static NotificationState& shared();

  AuthorizationStatus currentStatus() REQUIRES(mutex);
  void storeStatus(AuthorizationStatus newStatus) REQUIRES(mutex);
};

}  // namespace platform
