#include "sdk/analytics/engine/apm_search_ad_reporter.h"

#include <cmath>

#include "platform/ads/attribution_client.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/runloop/clock.h"
#include "platform/runtime/class.h"
#include "platform/runtime/message.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/storage/apm_persisted_config.h"

namespace {

// The platform's test answer: not a real campaign.
constexpr std::string_view kTestCampaignID = "1234567890";
constexpr std::string_view kTestCampaignName = "CampaignName";

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

std::string stringEntry(const platform::Value::Dictionary& d, std::string_view key) {
  const auto it = d.find(key);
  if (it == d.end()) return {};
  if (const std::string* s = it->second.ifString()) return *s;
  if (it->second.isNumber()) return it->second.description();
  return {};
}

}  // namespace

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMPersistedConfig> persistedConfig, EventSink sink) {
  if (!queue) {
    APMLog(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    APMLog(2, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > kAPMSearchAdMaxLookups - 1) return nullptr;
  if (!persistedConfig->searchAdCampaignValue().isNull()) {
    APMLog(7, 32002, "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  if (!sink) {
    sink = [](const std::string& origin, const std::string& name, const APMDictionary& parameters) {
      APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    };
  }
  return std::make_shared<APMSearchAdReporter>(std::move(queue), std::move(persistedConfig), std::move(sink));
}

APMSearchAdReporter::APMSearchAdReporter(std::shared_ptr<platform::DispatchQueue> queue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig, EventSink sink)
    : queue_(std::move(queue)),
      persistedConfig_(std::move(persistedConfig)),
      sink_(std::move(sink)),
      searchAdReporterAlarm_(std::make_unique<APMAlarm>(queue_, "Search Ad campaign report alarm")) {}

// The alarm's timer belongs to the worker queue.
APMSearchAdReporter::~APMSearchAdReporter() {
  if (!searchAdReporterAlarm_) return;
  if (queue_->isCurrent()) {
    cancelScheduling();
  } else {
    queue_->async([alarm = std::shared_ptr<APMAlarm>(std::move(searchAdReporterAlarm_))] { alarm->cancel(); });
  }
}

std::shared_ptr<platform::ads::AttributionClient> APMSearchAdReporter::adClientInstance() {
  const auto cls = platform::runtime::classNamed(platform::ads::kAttributionClientClassName);
  if (!cls || !cls->respondsToSelector(platform::ads::kSharedClientSelector)) return nullptr;
  try {
    return cls->call<std::shared_ptr<platform::ads::AttributionClient>>(platform::ads::kSharedClientSelector);
  } catch (const std::exception&) {
    return nullptr;
  }
}

void APMSearchAdReporter::start() {
  started_ = true;
  if (!adClientInstance()) {
    APMLog(7, 32003, "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  scheduleSearchAdReport();
}

void APMSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
  const bool resume = enabled && !enabled_ && started_;
  enabled_ = enabled;
  if (!enabled && searchAdReporterAlarm_) searchAdReporterAlarm_->cancel();
  if (resume && adClientInstance()) scheduleSearchAdReport();
}

std::optional<double> APMSearchAdReporter::scheduledTimestamp() const {
  if (!searchAdReporterAlarm_ || !searchAdReporterAlarm_->hasActiveTimer()) return std::nullopt;
  const auto due = searchAdReporterAlarm_->scheduledTimestamp();
  return due ? std::optional<double>(due->timeIntervalSince1970()) : std::nullopt;
}

void APMSearchAdReporter::scheduleSearchAdReport() {
  if (!searchAdReporterAlarm_) {
    APMLog(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!enabled_) {
    searchAdReporterAlarm_->cancel();
    return;
  }
  if (!persistedConfig_->searchAdCampaignValue().isNull()) {
    APMLog(7, 32004, "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (searchAdReporterAlarm_->hasActiveTimer()) {
    APMLog(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() >= kAPMSearchAdMaxLookups) {
    APMLog(5, 32007, "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
    return;
  }
  APMLog(7, 32006, "Scheduling Search Ad Report timer");
  const double sinceLastLookup = std::fabs(now() - persistedConfig_->lastSearchAdLookUpTimestamp());
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  searchAdReporterAlarm_->runAfterDelay(kAPMSearchAdLookupInterval - sinceLastLookup, [weak] {
    if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  const auto client = adClientInstance();
  if (!client || !platform::runtime::respondsToSelector(*client, platform::ads::kRequestAttributionDetailsSelector)) {
    return;
  }
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  const auto queue = queue_;
  // The client answers on a thread of its choosing; the answer is handled on the worker queue,
  // which owns the alarm and the persisted lookup state.
  client->requestAttributionDetails(
      [weak, queue](const platform::Value::Dictionary& details, const std::optional<platform::Error>& error) {
        queue->async([weak, details, error] {
          if (auto self = weak.lock()) self->handleAttributionDetailsOnWorkerQueue(details, error);
        });
      });
}

void APMSearchAdReporter::handleAttributionDetailsOnWorkerQueue(const platform::Value::Dictionary& details,
                                                                const std::optional<platform::Error>& error) {
  if (error && error->isSet()) {
    APMLog(1, 32010, "Cannot send request for Search Ad campaign attribution. Error", APMObject(*error));
    scheduleSearchAdReport();
    return;
  }
  if (details.empty()) {
    APMLog(1, 32011, "Cannot get Search Ad campaign attribution. Search Ad details are empty");
    scheduleSearchAdReport();
    return;
  }
  const platform::Value& first = details.begin()->second;
  if (!first.isDictionary() || first.dictionaryOrEmpty().empty()) {
    scheduleSearchAdReport();
    return;
  }
  const auto& answer = first.dictionaryOrEmpty();
  const std::string campaign = stringEntry(answer, "iad-campaign-name");
  if (stringEntry(answer, "iad-campaign-id") == kTestCampaignID && campaign == kTestCampaignName) {
    APMLog(2, 32012, "Search Ad Reporter returns dummy data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  const auto attribution = answer.find("iad-attribution");
  bool attributed = false;
  if (attribution != answer.end()) {
    if (attribution->second.isNumber()) {
      attributed = attribution->second.boolValue();
    } else if (const std::string* s = attribution->second.ifString()) {
      attributed = *s == "true" || *s == "1";
    }
  }
  logCampaignEventWithSearchAdCampaign(attributed, campaign, stringEntry(answer, "iad-keyword"));
  cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign,
                                                               const std::string& term) {
  {
    platform::MutexLock lock(recordMutex_);
    if (!persistedConfig_->searchAdCampaignValue().isNull()) {
      APMLog(5, 32008, "Search Ad Campaign is already tracked");
      return;
    }
    persistedConfig_->setSearchAdCampaignValue(platform::Value(attributed));
  }
  if (!attributed) return;
  APMDictionary parameters{{"source", APMObject("Apple")}, {"medium", APMObject("search")}};
  if (!campaign.empty()) parameters["campaign"] = APMObject(campaign);
  if (!term.empty()) parameters["term"] = APMObject(term);
  const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters["click_timestamp"] = APMObject(static_cast<long long>(firstOpen - 1));
  } else {
    APMLog(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  sink_("auto", "_cmp", parameters);
}

void APMSearchAdReporter::cancelScheduling() {
  if (!searchAdReporterAlarm_) return;
  searchAdReporterAlarm_->cancel();
  searchAdReporterAlarm_.reset();
}
