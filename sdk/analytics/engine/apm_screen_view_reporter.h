// Screen-view reporting: the screen the user is on and the "screen_view" events logged through
// the facade. The automatic tracking comes with its own change; until then the current screen
// is whatever was last reported.
#pragma once

#include <memory>

#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/common/apm_object.h"

class APMScreenViewReporter {
 public:
  static APMScreenViewReporter& sharedInstance();

  // "_sn", "_sc" and "_si" of the current screen; empty when none is known.
  APMDictionary currentScreenParameters() const;
  // A "screen_view" event logged by the application.
  void trackScreenWithParameters(const APMDictionary& parameters, double timestamp);
  // Main thread only.
  void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);

 private:
  mutable platform::Mutex mutex_;
  APMDictionary current_ GUARDED_BY(mutex_);
};
