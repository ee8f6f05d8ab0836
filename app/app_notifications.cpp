#include "app/app_notifications.h"

#include <string>

#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

namespace {

const platform::Value kTrueNumber(true);
const platform::Value kFalseNumber(false);

}  // namespace

const platform::Value* booleanNumber(bool value) { return value ? &kTrueNumber : &kFalseNumber; }

std::optional<bool> booleanNumberValue(const void* object) {
  if (object == &kTrueNumber) return true;
  if (object == &kFalseNumber) return false;
  return std::nullopt;
}

void postAppNotification(std::string_view name, std::optional<bool> object) {
  platform::Notification notification;
  notification.name = std::string(name);
  if (object) notification.object = booleanNumber(*object);
  platform::NotificationCenter::defaultCenter().post(std::move(notification));
}
