// The process-wide SDK configuration: the logger level and the analytics configuration handed to
// the analytics engine when it starts.
#pragma once

#include <memory>

#include "sdk/utilities/utilities/vul_logger.h"
#include "platform/foundation/thread_safety.h"

class DOREvoredireConfiguration;

class VDZConfiguration {
 public:
  static VDZConfiguration& sharedInstance();

  // Levels 3 to 7; anything else raises kInternalInconsistencyException.
  void setLoggerLevel(VULLoggerLevel level);

  std::shared_ptr<DOREvoredireConfiguration> analyticsConfiguration() const;
  void setAnalyticsConfiguration(std::shared_ptr<DOREvoredireConfiguration> configuration);

 private:
  VDZConfiguration();
  mutable platform::Mutex mutex_;
  std::shared_ptr<DOREvoredireConfiguration> analyticsConfiguration_ GUARDED_BY(mutex_);
};
