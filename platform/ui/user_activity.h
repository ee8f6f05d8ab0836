// A user activity handed to the app (continued from another device or opened from the web): a
// dictionary with the activity's type and, for web browsing, the page's URL. The runtime knows
// the class "NSUserActivity" with the two readers, so code can ask whether the platform has them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

namespace runtime {
class Class;
}

inline constexpr std::string_view kUserActivityClassName = "NSUserActivity";
inline constexpr std::string_view kUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";
// Keys of the activity dictionary, named after the class's readers.
inline constexpr std::string_view kUserActivityTypeKey = "activityType";
inline constexpr std::string_view kUserActivityWebpageURLKey = "webpageURL";

// Registers the class once.
std::shared_ptr<const runtime::Class> userActivityClass();

Value::Dictionary makeUserActivity(std::string_view activityType, std::string_view webpageURL = {});
// Launch options of an app opened to continue the activity.
Value::Dictionary launchOptionsWithUserActivity(const Value::Dictionary& userActivity);

}  // namespace platform
