#include "sdk/analytics/storage/apm_app_metadata.h"

#include <algorithm>
#include <limits>

#include "sdk/analytics/common/apm_monitor.h"

std::shared_ptr<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                        double lastBundleStartTimestamp,
                                                                        double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMLog(2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return nullptr;
  }
  return std::make_shared<APMAppMetadata>(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void APMAppMetadata::incrementLastBundleIndex() {
  if (lastBundleIndex_ == std::numeric_limits<std::int32_t>::max()) {
    APMLog(5, 4001, "Bundle index overflow. Bundle index reset to 0.");
    lastBundleIndex_ = 0;
  } else {
    ++lastBundleIndex_;
  }
}

namespace {

// The daily limits compare against these counts: one that wrapped negative would lift its limit.
std::int32_t saturatingAdd(std::int32_t count, std::int64_t increment) {
  const std::int64_t sum = std::int64_t{count} + increment;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, 0, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::int32_t APMDailyCounts::clampedCount(std::int64_t stored) { return saturatingAdd(0, stored); }

void APMDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                                  std::int32_t effectiveEventCount) {
  if (day != day_) resetWithNewDay(day);
  if (isConversion) conversionsCount_ = saturatingAdd(conversionsCount_, 1);
  allEventsCount_ = saturatingAdd(allEventsCount_, effectiveEventCount);
  if (isPublicEvent) publicEventsCount_ = saturatingAdd(publicEventsCount_, effectiveEventCount);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  allEventsCount_ = saturatingAdd(allEventsCount_, 1);
  errorEventsCount_ = saturatingAdd(errorEventsCount_, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
  if (day != day_) resetWithNewDay(day);
  realtimeCount_ = saturatingAdd(realtimeCount_, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

void APMDailyCounts::resetWithNewDay(std::int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
}
