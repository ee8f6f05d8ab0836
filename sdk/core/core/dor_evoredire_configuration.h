// The analytics-collection switch of the process. It keeps no state of its own: it persists the
// choice in the standard user defaults and announces it; the analytics engine listens and applies it.
#pragma once

#include <memory>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/runtime/object.h"

inline constexpr std::string_view kDOREvoredireConfigurationSetEnabledNotification =
    "DOREvoredireConfigurationSetEnabledNotification";
// 1 when collection is enabled, 2 when disabled.
inline constexpr std::string_view kDOREvoredireMeasurementEnabledStateKey = "/videzu/measurement/measurement_enabled_state";

class DOREvoredireConfiguration : public platform::runtime::Object {
 public:
  static std::shared_ptr<DOREvoredireConfiguration> sharedInstance();

  // Persists the choice.
  void setAnalyticsCollectionEnabled(bool enabled);
  void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);
  // Posts `name` with this object as sender and userInfo {name: value}; does nothing for an empty
  // name or a null value.
  void postNotificationName(std::string_view name, const platform::Value& value);
};
