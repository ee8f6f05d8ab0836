// Asks once for permission to post local notifications (the end of a break is announced by one),
// right after the first-launch intro, and then has the focus screen point the user at its
// controls by posting "blinkBirdImage". Runs on the notification centre's queue.
#pragma once

namespace platform {
class Error;
struct NotificationSettings;
}  // namespace platform

class AuthorizationCenter {
 public:
  // The completion of the centre's settings query: asks only while the status is undecided.
  void checkNotificationSettings(const platform::NotificationSettings& settings);
  // The completion of the permission request.
  void handleAuthorizationAnswer(bool granted, const platform::Error* error);
};
