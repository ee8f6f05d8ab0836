#include "sdk/analytics/engine/apm_screen_view_reporter.h"

APMScreenViewReporter& APMScreenViewReporter::sharedInstance() {
  static APMScreenViewReporter instance;
  return instance;
}

APMDictionary APMScreenViewReporter::currentScreenParameters() const {
  platform::MutexLock lock(mutex_);
  return current_;
}

void APMScreenViewReporter::trackScreenWithParameters(const APMDictionary&, double) {}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
  platform::MutexLock lock(mutex_);
  current_.clear();
  if (screenName) current_["_sn"] = APMObject(*screenName);
  if (screenClass) current_["_sc"] = APMObject(*screenClass);
}
