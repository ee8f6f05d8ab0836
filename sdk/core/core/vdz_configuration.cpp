#include "sdk/core/core/vdz_configuration.h"

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "sdk/core/core/dor_evoredire_configuration.h"
#include "sdk/core/core/vdz_logger.h"
#include "platform/foundation/thread_safety.h"

VDZConfiguration& VDZConfiguration::sharedInstance() {
  static auto* instance = new VDZConfiguration;
  return *instance;
}

VDZConfiguration::VDZConfiguration() : analyticsConfiguration_(DOREvoredireConfiguration::sharedInstance()) {}

void VDZConfiguration::setLoggerLevel(VULLoggerLevel level) {
  if (level < VULLoggerLevelError || level > VULLoggerLevelDebug) {
    throw platform::Exception(std::string(platform::kInternalInconsistencyException),
                              platform::format("Invalid logger level, %ld", level));
  }
  VDZLoggerSetLevel(level);
}

std::shared_ptr<DOREvoredireConfiguration> VDZConfiguration::analyticsConfiguration() const {
  platform::MutexLock lock(mutex_);
  return analyticsConfiguration_;
}

void VDZConfiguration::setAnalyticsConfiguration(std::shared_ptr<DOREvoredireConfiguration> configuration) {
  platform::MutexLock lock(mutex_);
  analyticsConfiguration_ = std::move(configuration);
}
