// The crash reporter's bridge to analytics, both ways: the analytics events of origin "clx" become
// breadcrumb lines of the running report's user log, and every crash report handed to the
// transport is counted as an "_ae" event for crash-free statistics. Without an analytics engine
// both directions do nothing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/core/core/dor_evoredire_interop.h"

inline constexpr std::string_view kRLZAnalyticsOrigin = "clx";
inline constexpr std::string_view kRLZAnalyticsCrashEventName = "_ae";
inline constexpr std::string_view kRLZAnalyticsBreadcrumbPrefix = "$A$:";

class RLZAnalyticsManager final : public DOREvoredireInteropListener,
                                  public std::enable_shared_from_this<RLZAnalyticsManager> {
 public:
  explicit RLZAnalyticsManager(std::shared_ptr<DOREvoredireInterop> analytics) : analytics_(std::move(analytics)) {}

  // Once per object, after crash capture has started; tried again while no engine is present.
  void registerAnalyticsListener();
  // A breadcrumb: one user-log line per event of the listened origin.
  void messageTriggered(const std::string& name, const platform::Value::Dictionary& parameters) override;
  // The crash-free statistics event for one crash report (crash time in seconds since 1970).
  static void logCrashWithTimeStamp(double crashTimeStamp, const std::shared_ptr<DOREvoredireInterop>& analytics);

  bool registeredAnalyticsEventListener() const { return registeredAnalyticsEventListener_; }

 private:
  // The connector keeps its listeners, this object among them: a strong reference back would
  // keep both alive for ever.
  std::weak_ptr<DOREvoredireInterop> analytics_;
  bool registeredAnalyticsEventListener_ = false;
};

// The event as breadcrumb text, or nothing (with a warning in the report's SDK log) when it
// cannot be written as JSON.
std::optional<std::string> RLZVDZAEventDictionaryToJSON(const platform::Value::Dictionary& event);
