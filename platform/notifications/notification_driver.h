// What tests and the terminal front end control and read of the notification centre.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/notifications/user_notification_center.h"

namespace platform::NotificationDriver {

// Status not determined, the user would grant, app in front; pending and delivered cleared,
// delegate dropped. Only the memory is reset: the status saved in the home stays as it is.
void reset();
// As reset, but the status is read again from the home, as a new process of the app finds it.
void forgetForRelaunch();

// As the user changing the system's settings: kept across launches.
void setAuthorizationStatus(AuthorizationStatus status);
// The user's answer to the next permission prompts; an error comes with the answer when given.
void setAuthorizationAnswer(bool grant, std::optional<Error> error = std::nullopt);
// How many times the user was asked.
int authorizationPromptCount();

struct Scheduled {
  std::string identifier;
  Date fireDate;
  std::string title;
  std::string body;
  std::string sound;  // empty: silent
};
// Pending requests with their next fire dates and what they will show, earliest first.
std::vector<Scheduled> scheduled();

// Whether the app is in front while no Application runs; a running Application's own state
// (background or not) takes precedence.
void setAppInForeground(bool foreground);
bool isAppInForeground();

}  // namespace platform::NotificationDriver
