#include "platform/ui/user_activity.h"

#include "platform/runtime/class.h"
#include "platform/ui/application.h"

namespace platform {

namespace {

// The readers as the runtime sees them: the receiver holds the dictionary.
struct UserActivityObject : runtime::Object {
  Value::Dictionary activity;
};

Value entry(const UserActivityObject& object, std::string_view key) {
  const auto it = object.activity.find(key);
  return it == object.activity.end() ? Value() : it->second;
}

}  // namespace

std::shared_ptr<const runtime::Class> userActivityClass() {
  // Never destroyed: the analytics queue looks it up for a deep link, which may be while the process exits.
  static const auto* const cls = [] {
    runtime::ClassDefinition d;
    d.name = std::string(kUserActivityClassName);
    d.superclass = runtime::rootClass();
    d.instanceSize = sizeof(UserActivityObject);
    d.instanceMethods.emplace("webpageURL", runtime::implementation([](UserActivityObject& o) {
                                return entry(o, kUserActivityWebpageURLKey);
                              }));
    d.instanceMethods.emplace("activityType", runtime::implementation([](UserActivityObject& o) {
                                return entry(o, kUserActivityTypeKey);
                              }));
    return new std::shared_ptr<const runtime::Class>(runtime::registerClassOnce(std::move(d)));
  }();
  return *cls;
}

Value::Dictionary makeUserActivity(std::string_view activityType, std::string_view webpageURL) {
  userActivityClass();
  Value::Dictionary activity{{std::string(kUserActivityTypeKey), Value(activityType)}};
  if (!webpageURL.empty()) activity.emplace(std::string(kUserActivityWebpageURLKey), Value(webpageURL));
  return activity;
}

Value::Dictionary launchOptionsWithUserActivity(const Value::Dictionary& userActivity) {
  Value::Dictionary inner{{std::string(kApplicationLaunchOptionsUserActivityKey), Value(userActivity)}};
  return {{std::string(kApplicationLaunchOptionsUserActivityDictionaryKey), Value(std::move(inner))}};
}

}  // namespace platform
