// The one-row bookkeeping of the measurement database: the last bundle made, and the day's event
// counters with the rules that roll them over to a new day.
#pragma once

#include <cstdint>
#include <memory>

class APMAppMetadata {
 public:
  // Nothing (logged) for a negative index.
  static std::shared_ptr<APMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);
  APMAppMetadata(std::int32_t index, double start, double end)
      : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

  // The largest index wraps to 0.
  void incrementLastBundleIndex();
  std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double value) { lastBundleStartTimestamp_ = value; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double value) { lastBundleEndTimestamp_ = value; }

 private:
  std::int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};

class APMDailyCounts {
 public:
  APMDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                 std::int32_t publicEventsCount, std::int32_t errorEventsCount, std::int32_t realtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount) {}

  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion) {
    incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
  }
  // Conversions count once per call, whatever the effective count.
  void incrementCountsForCurrentDay(std::int32_t day, bool isPublicEvent, bool isConversion,
                                    std::int32_t effectiveEventCount);
  void incrementErrorEventsCountForCurrentDay(std::int32_t day);
  void incrementRealtimeCountsForCurrentDay(std::int32_t day);
  void decrementAllEventsCount();
  void resetWithNewDay(std::int32_t day);
  // Counts stop at the largest 32-bit value instead of wrapping; a stored count is read the same
  // way, from 0 up to that value.
  static std::int32_t clampedCount(std::int64_t stored);

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }

 private:
  std::int32_t day_;
  std::int32_t conversionsCount_;
  std::int32_t allEventsCount_;
  std::int32_t publicEventsCount_;
  std::int32_t errorEventsCount_;
  std::int32_t realtimeCount_;
};
