#include "sdk/analytics/storage/apm_storage_records.h"

#include <limits>
#include <string_view>

#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_monitor.h"

namespace {

// A count never goes negative: past the maximum it starts again from 0.
void incrementCount(std::int32_t& count, std::int64_t code, std::string_view message) {
  if (count == std::numeric_limits<std::int32_t>::max()) {
    APMLog(5, code, message);
    count = 0;
    return;
  }
  ++count;
}

}  // namespace

std::shared_ptr<APMEventAggregates> APMEventAggregates::initWithName(const std::string& name,
                                                                     std::int32_t lifetimeCount,
                                                                     std::int32_t currentBundleCount,
                                                                     std::int32_t currentSessionCount,
                                                                     double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(APMObject(name), nullptr)) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    APMLog(5, 17000, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::make_shared<APMEventAggregates>(name, lifetimeCount, currentBundleCount, currentSessionCount,
                                              lastFireTimestamp);
}

void APMEventAggregates::incrementLifetimeCount() {
  incrementCount(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
  incrementCount(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void APMEventAggregates::incrementCurrentSessionCount() {
  incrementCount(currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}
