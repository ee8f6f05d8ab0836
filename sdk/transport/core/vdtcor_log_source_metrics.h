// Counts of dropped events per log source (mapping ID) and drop reason.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/keyed_archive.h"

class VDTCOREvent;

// Why events were lost. The wire form knows 1 to 6; these are the ones this system reports.
using VDTCOREventDropReason = std::int64_t;
inline constexpr VDTCOREventDropReason kVDTCOREventDropReasonExpired = 1;
inline constexpr VDTCOREventDropReason kVDTCOREventDropReasonStorageLimit = 2;
inline constexpr VDTCOREventDropReason kVDTCOREventDropReasonRejectedByServer = 5;

inline constexpr std::string_view kVDTCORLogSourceMetricsClassName = "VDTCORLogSourceMetrics";
inline constexpr std::string_view kVDTCORDroppedEventCounterByLogSourceKey = "droppedEventCounterByLogSource";

class VDTCORLogSourceMetrics final : public platform::Codable {
 public:
  // reason -> count
  using ReasonCounts = std::map<VDTCOREventDropReason, std::int64_t>;
  // mapping ID -> counts by reason
  using Counter = std::map<std::string, ReasonCounts, std::less<>>;

  explicit VDTCORLogSourceMetrics(Counter counter = {}) : counter_(std::move(counter)) {}

  static std::shared_ptr<VDTCORLogSourceMetrics> metrics();
  // One per event of a non-empty mapping ID, under the reason.
  static std::shared_ptr<VDTCORLogSourceMetrics> metricsWithEvents(
      const std::vector<std::shared_ptr<VDTCOREvent>>& events, VDTCOREventDropReason reason);
  static std::shared_ptr<VDTCORLogSourceMetrics> initWithDroppedEventCounterByLogSource(Counter counter);

  const Counter& droppedEventCounterByLogSource() const { return counter_; }

  // Union by mapping ID, then by reason; counts of both add up.
  std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetricsByMergingWithLogSourceMetrics(
      const VDTCORLogSourceMetrics& other) const;

  bool isEqualToLogSourceMetrics(const VDTCORLogSourceMetrics& other) const { return counter_ == other.counter_; }
  friend bool operator==(const VDTCORLogSourceMetrics& a, const VDTCORLogSourceMetrics& b) {
    return a.isEqualToLogSourceMetrics(b);
  }
  std::size_t hash() const;
  std::string description() const;

  std::string className() const override { return std::string(kVDTCORLogSourceMetricsClassName); }
  // Reasons are archived as number keys (decimal string keys of earlier builds still decode).
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<VDTCORLogSourceMetrics> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  Counter counter_;
};
