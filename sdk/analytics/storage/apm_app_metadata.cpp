#include "sdk/analytics/storage/apm_app_metadata.h"

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

void APMDailyCounts::incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                                  std::int32_t effectiveEventCount) {
  if (day != day_) {
    day_ = day;
    conversionsCount_ = isConversion ? 1 : 0;
    allEventsCount_ = effectiveEventCount;
    publicEventsCount_ = isPublicEvent ? effectiveEventCount : 0;
    errorEventsCount_ = 0;
    realtimeCount_ = 0;
    return;
  }
  if (isConversion) ++conversionsCount_;
  allEventsCount_ += effectiveEventCount;
  if (isPublicEvent) publicEventsCount_ += effectiveEventCount;
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t day) {
  if (day != day_) {
    resetWithNewDay(day);
    allEventsCount_ = 1;
    errorEventsCount_ = 1;
    return;
  }
  ++allEventsCount_;
  ++errorEventsCount_;
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t day) {
  if (day != day_) {
    resetWithNewDay(day);
    realtimeCount_ = 1;
    return;
  }
  ++realtimeCount_;
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
