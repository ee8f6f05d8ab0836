#include "app/authorization_center.h"

#include "app/app_notifications.h"
#include "platform/foundation/console.h"
#include "platform/notifications/user_notification_center.h"

void AuthorizationCenter::checkNotificationSettings(const platform::NotificationSettings& settings) {
  switch (settings.authorizationStatus) {
    case platform::AuthorizationStatus::NotDetermined:
      platform::UserNotificationCenter::current()->requestAuthorization(
          platform::kAuthorizationOptionSound | platform::kAuthorizationOptionAlert,
          [](bool granted, const platform::Error* error) {
            AuthorizationCenter().handleAuthorizationAnswer(granted, error);
          });
      return;
    case platform::AuthorizationStatus::Denied:
      platform::Console::print("알람 설정이 거부되었습니다. 설정가기");
      return;
    case platform::AuthorizationStatus::Authorized:
      return;
    case platform::AuthorizationStatus::Provisional:
      platform::Console::print("Alert provisional");
      return;
    case platform::AuthorizationStatus::Ephemeral:
      platform::Console::print("ephemeral");
      return;
  }
  platform::Console::print("Alert Default Case");
}

void AuthorizationCenter::handleAuthorizationAnswer(bool granted, const platform::Error* error) {
  if (!granted) platform::Console::print(error ? error->description() : "denied");
  postAppNotification(kBlinkBirdImageNotification);
}
