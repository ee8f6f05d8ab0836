#include "sdk/crash/reports/rlz_analytics_manager.h"

#include <cmath>
#include <cstdint>

#include "platform/foundation/json.h"
#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

// What a JSON writer can represent: no data, dates or non-finite numbers anywhere inside.
bool isJSONRepresentable(const platform::Value& value) {
  switch (value.type()) {
    case platform::Value::Type::Data:
    case platform::Value::Type::Date:
      return false;
    case platform::Value::Type::Double:
      return std::isfinite(*value.ifDouble());
    case platform::Value::Type::Array:
      for (const auto& element : *value.ifArray()) {
        if (!isJSONRepresentable(element)) return false;
      }
      return true;
    case platform::Value::Type::Dictionary:
      for (const auto& [key, element] : *value.ifDictionary()) {
        if (!isJSONRepresentable(element)) return false;
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

std::optional<std::string> RLZVDZAEventDictionaryToJSON(const platform::Value::Dictionary& event) {
  const platform::Value object(event);
  if (!isJSONRepresentable(object)) {
    RLZSDKLogWarn("Vuduzara Analytics event is not valid JSON\n");
    return std::nullopt;
  }
  auto text = platform::JSON::serialize(object, false);
  if (!text) {
    RLZSDKLogWarn("Unable to convert Vuduzara Analytics event to json\n");
    return std::nullopt;
  }
  return text;
}

void RLZAnalyticsManager::registerAnalyticsListener() {
  if (registeredAnalyticsEventListener_) return;
  const auto analytics = analytics_.lock();
  if (!analytics) {
    RLZDebugLog(
        "[Ralitoze:Crash:Reports:Event] Vuduzara Analytics SDK not detected. Crash-free statistics and breadcrumbs "
        "will not be reported");
    return;
  }
  analytics->registerAnalyticsListener(shared_from_this(), std::string(kRLZAnalyticsOrigin));
  RLZDebugLog("[Ralitoze:Crash:Reports:Event] Registered Vuduzara Analytics event listener to receive breadcrumb logs");
  registeredAnalyticsEventListener_ = true;
}

void RLZAnalyticsManager::messageTriggered(const std::string& name, const platform::Value::Dictionary& parameters) {
  const auto text = RLZVDZAEventDictionaryToJSON(
      {{"name", platform::Value(name)}, {"parameters", platform::Value(parameters)}});
  if (text) RLZLog(std::string(kRLZAnalyticsBreadcrumbPrefix) + *text);
}

void RLZAnalyticsManager::logCrashWithTimeStamp(double crashTimeStamp,
                                                const std::shared_ptr<DOREvoredireInterop>& analytics) {
  if (!analytics) return;
  RLZDebugLog(
      "[Ralitoze:Crash:Reports:Event] Sending app_exception event to Vuduzara Analytics for crash-free statistics");
  // Milliseconds, rounded half to even; a crash time read back as garbage counts as none.
  const double scaled = std::nearbyint(crashTimeStamp * 1000);
  const std::int64_t milliseconds = std::isfinite(scaled) && std::fabs(scaled) < 9.0e18 ? static_cast<std::int64_t>(scaled) : 0;
  analytics->logEventWithOrigin(std::string(kRLZAnalyticsOrigin), std::string(kRLZAnalyticsCrashEventName),
                                {{"timestamp", platform::Value(milliseconds)}, {"fatal", platform::Value(std::int64_t{1})}});
}
