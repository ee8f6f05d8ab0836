// Search-ad attribution: asks the platform's attribution client, when the app links it, whether a
// search-ad campaign brought this installation, and reports an attributed answer once as "_cmp".
// One lookup a day, at most ten in all, remembered across launches. Everything, the client's
// answer included, runs on the engine's worker queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/common/apm_object.h"

namespace platform {
class DispatchQueue;
namespace ads {
class AttributionClient;
}
}  // namespace platform
class APMAlarm;
class APMPersistedConfig;

inline constexpr std::int64_t kAPMSearchAdMaxLookups = 10;
inline constexpr double kAPMSearchAdLookupInterval = 86400;

class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
 public:
  // Where the campaign event goes: the facade's internal event entry unless a test says otherwise.
  using EventSink = std::function<void(const std::string& origin, const std::string& name, const APMDictionary& parameters)>;

  // None (logged where it matters) without a queue or config, after ten lookups, or once an
  // answer was recorded.
  static std::shared_ptr<APMSearchAdReporter> initWithWorkerQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                                                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                                  EventSink sink = {});
  APMSearchAdReporter(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMPersistedConfig> persistedConfig,
                      EventSink sink);
  ~APMSearchAdReporter();

  // Worker queue, all of them.
  void start();
  void scheduleSearchAdReport();
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign, const std::string& term);
  void cancelScheduling();
  bool isSearchAdReporterEnabled() const { return enabled_; }
  // Disabling stops the lookups; enabling again after start resumes them.
  void setSearchAdReporterEnabled(bool enabled);
  // The alarm's due time, none when not armed.
  std::optional<double> scheduledTimestamp() const;

  // The client when the app links the attribution framework.
  static std::shared_ptr<platform::ads::AttributionClient> adClientInstance();

 private:
  void handleAttributionDetailsOnWorkerQueue(const platform::Value::Dictionary& details,
                                             const std::optional<platform::Error>& error);

  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  EventSink sink_;
  std::unique_ptr<APMAlarm> searchAdReporterAlarm_;
  bool enabled_ = false;
  bool started_ = false;
  // The record-once step.
  platform::Mutex recordMutex_;
};
