#include "sdk/core/core/vdz_diagnostics_data.h"

#include <string>

#include "platform/foundation/exception.h"
#include "sdk/core/core/vdz_app.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

void VDZDiagnosticsData::insertValue(const Value& value, std::string_view key) {
  platform::MutexLock lock(mutex_);
  if (value.isNull()) {
    if (auto it = objects_.find(key); it != objects_.end()) objects_.erase(it);
    return;
  }
  objects_[std::string(key)] = value;
}

Value::Dictionary VDZDiagnosticsData::diagnosticObjects() {
  // The app registry is read before taking this object's lock: VDZApp takes its own.
  const bool needsCount = [&] {
    platform::MutexLock lock(mutex_);
    return !objects_.contains(kVDZCDllAppsCountKey);
  }();
  std::optional<std::size_t> count;
  if (needsCount) {
    const auto apps = VDZApp::allApps();
    count = apps ? apps->size() : 0;
  }
  const bool needsSwitch = [&] {
    platform::MutexLock lock(mutex_);
    return !objects_.contains(kVDZCDIsDataCollectionDefaultEnabledKey);
  }();
  std::optional<bool> enabled;
  if (needsSwitch) {
    const auto app = VDZApp::defaultApp();
    enabled = app && app->isDataCollectionDefaultEnabled();
  }
  const bool needsUserAgent = [&] {
    platform::MutexLock lock(mutex_);
    return !objects_.contains(kVDZCDVuduzaraUserAgentKey);
  }();
  std::optional<std::string> userAgent;
  if (needsUserAgent) userAgent = VDZApp::vuduzaraUserAgent();

  platform::MutexLock lock(mutex_);
  if (count && !objects_.contains(kVDZCDllAppsCountKey)) objects_[std::string(kVDZCDllAppsCountKey)] = Value(*count);
  if (enabled && !objects_.contains(kVDZCDIsDataCollectionDefaultEnabledKey)) {
    objects_[std::string(kVDZCDIsDataCollectionDefaultEnabledKey)] = Value(*enabled);
  }
  if (userAgent && !objects_.contains(kVDZCDVuduzaraUserAgentKey)) {
    objects_[std::string(kVDZCDVuduzaraUserAgentKey)] = Value(*userAgent);
  }
  return objects_;
}

void VDZDiagnosticsData::setDiagnosticObjects(const Value::Dictionary&) {
  throw platform::Exception(std::string(platform::kInternalInconsistencyException), "Please use -insertValue:forKey:");
}
