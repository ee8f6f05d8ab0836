#include "sdk/core/core/dor_evoredire_configuration.h"

#include <string>

#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"

std::shared_ptr<DOREvoredireConfiguration> DOREvoredireConfiguration::sharedInstance() {
  // Never destroyed: the collection switch may be flipped on a worker while the process exits.
  static const auto* const instance =
      new std::shared_ptr<DOREvoredireConfiguration>(std::make_shared<DOREvoredireConfiguration>());
  return *instance;
}

void DOREvoredireConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
  setAnalyticsCollectionEnabled(enabled, true);
}

void DOREvoredireConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
  if (persistSetting) {
    const auto defaults = platform::UserDefaults::standard();
    defaults->setInteger(enabled ? 1 : 2, kDOREvoredireMeasurementEnabledStateKey);
    defaults->synchronize();
  }
  postNotificationName(kDOREvoredireConfigurationSetEnabledNotification, platform::Value(enabled));
}

void DOREvoredireConfiguration::postNotificationName(std::string_view name, const platform::Value& value) {
  if (name.empty() || value.isNull()) return;
  platform::NotificationCenter::defaultCenter().post(std::string(name), this,
                                                      platform::Value::Dictionary{{std::string(name), value}});
}
