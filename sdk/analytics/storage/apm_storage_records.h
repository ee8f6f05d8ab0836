// Records of the audience, aggregate and conditional-property rules that the measurement database
// stores and reads back. Their behaviour belongs to the events layer, which sits above storage;
// what is declared here is the least the database needs, and the events layer builds on these
// same types. Events are carried as their wire messages; the events layer makes `APMEvent`s of
// them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_value.h"

class APMPBEvent;

// The per-name counters of the events table. Worker queue only.
class APMEventAggregates {
 public:
  // Nothing for a name that is not a valid internal event name, or (logged) a negative count.
  static std::shared_ptr<APMEventAggregates> initWithName(const std::string& name, std::int32_t lifetimeCount,
                                                          std::int32_t currentBundleCount,
                                                          std::int32_t currentSessionCount,
                                                          double lastFireTimestamp);
  // Unchecked: for rows the database already holds.
  APMEventAggregates(std::string name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
                     std::int32_t currentSessionCount, double lastFireTimestamp)
      : name_(std::move(name)),
        lifetimeCount_(lifetimeCount),
        currentBundleCount_(currentBundleCount),
        currentSessionCount_(currentSessionCount),
        lastFireTimestamp_(lastFireTimestamp) {}

  // Each adds one; a count at the 32-bit maximum starts again from 0 (logged).
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  const std::string& name() const { return name_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  void setLastFireTimestamp(double value) { lastFireTimestamp_ = value; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  void setLastBundledTimestamp(double value) { lastBundledTimestamp_ = value; }
  std::optional<std::int64_t> lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
  void setLastSampledComplexEventID(std::optional<std::int64_t> value) { lastSampledComplexEventID_ = value; }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  void setLastSamplingRate(std::int32_t value) { lastSamplingRate_ = value; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  void setLastExemptFromSampling(bool value) { lastExemptFromSampling_ = value; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }
  void setLastBundledDay(std::int32_t value) { lastBundledDay_ = value; }

 private:
  std::string name_;
  std::int32_t lifetimeCount_;
  std::int32_t currentBundleCount_;
  std::int32_t currentSessionCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  std::optional<std::int64_t> lastSampledComplexEventID_;
  std::int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  std::int32_t lastBundledDay_ = 0;
};

// An event filter or a property filter of one audience: the name it applies to and its message.
struct APMAudienceFilter {
  std::int32_t audienceID = 0;
  std::int32_t filterID = 0;
  std::string name;
  platform::Data data;
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

class APMEventFilter : public APMAudienceFilter {
 public:
  APMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName, platform::Data data,
                 bool sessionScoped, bool dynamic, bool sequence)
      : APMAudienceFilter{audienceID, filterID, std::move(eventName), std::move(data), sessionScoped, dynamic,
                          sequence} {}
  const std::string& eventName() const { return name; }
  bool isSessionScoped() const { return sessionScoped; }
};

class APMPropertyFilter : public APMAudienceFilter {
 public:
  APMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName, platform::Data data,
                    bool sessionScoped, bool dynamic, bool sequence)
      : APMAudienceFilter{audienceID, filterID, std::move(propertyName), std::move(data), sessionScoped, dynamic,
                          sequence} {}
  const std::string& propertyName() const { return name; }
  bool isSessionScoped() const { return sessionScoped; }
};

class APMFilterResult {
 public:
  APMFilterResult(std::int32_t audienceID, platform::Data currentResults,
                  std::optional<platform::Data> previousResults)
      : audienceID_(audienceID), currentResults_(std::move(currentResults)), previousResults_(std::move(previousResults)) {}
  std::int32_t audienceID() const { return audienceID_; }
  const platform::Data& currentResults() const { return currentResults_; }
  const std::optional<platform::Data>& previousResults() const { return previousResults_; }

 private:
  std::int32_t audienceID_;
  platform::Data currentResults_;
  std::optional<platform::Data> previousResults_;
};

struct APMConditionalUserProperty {
  std::string name;
  std::string origin;
  APMValuePtr value;
  double creationTimestamp = 0;
  bool active = false;
  double triggerTimeout = 0;
  double triggeredTimestamp = 0;
  double timeToLive = 0;
  std::string triggerEventName;
  std::shared_ptr<APMPBEvent> triggeredEvent;
  std::shared_ptr<APMPBEvent> timedOutEvent;
  std::shared_ptr<APMPBEvent> expiredEvent;

  bool isActive() const { return active; }
};
