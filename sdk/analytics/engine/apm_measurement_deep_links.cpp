// Deep links and launch URLs: links that open the app become campaign events ("_cmp", or "_cmpx"
// for a stored link the engine could no longer date), and the deferred deep link is asked of the
// ad-services endpoint once after install, handed to the app delegate and then logged the same way.
#include <cstdlib>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "platform/foundation/json.h"
#include "platform/foundation/system_info.h"
#include "platform/net/url_session.h"
#include "platform/runloop/clock.h"
#include "platform/runtime/class.h"
#include "platform/runtime/message.h"
#include "platform/ui/application.h"
#include "platform/ui/user_activity.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"

namespace {

struct CampaignParameter {
  std::string_view link;
  std::string_view event;
};

constexpr CampaignParameter kCampaignParameters[] = {
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"dclid", "dclid"},
    {"gclid", "gclid"},
    {"gbraid", "gbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"srsltid", "srsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
};

constexpr std::string_view kRequiredCampaignParameters[] = {"utm_campaign", "gclid",  "utm_medium", "utm_source",
                                                            "gbraid",       "utm_id", "dclid",      "srsltid"};
constexpr std::string_view kClickIdentifiers[] = {"gclid", "dclid", "srsltid"};

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

// A link makes a URL when it has a scheme and nothing a URL cannot hold.
bool isURL(std::string_view link) {
  const auto colon = link.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(link[0]))) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = link[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  for (const char c : link) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
        c == '{' || c == '|' || c == '}') {
      return false;
    }
  }
  return true;
}

// The query of a link: after the first "?", up to the fragment.
std::string_view queryOf(std::string_view link) {
  if (!isURL(link)) return {};
  const auto question = link.find('?');
  if (question == std::string_view::npos) return {};
  auto query = link.substr(question + 1);
  if (const auto hash = query.find('#'); hash != std::string_view::npos) query = query.substr(0, hash);
  return query;
}

const std::string* nonEmptyString(const platform::Value::Dictionary& d, std::string_view key) {
  const auto it = d.find(key);
  if (it == d.end()) return nullptr;
  const std::string* s = it->second.ifString();
  return s && !s->empty() ? s : nullptr;
}

std::string adServicesBaseURL() { return VULServiceBaseURL("https://ads.videzu.invalid"); }

// The deferred deep link being handed to the app delegate on this (main) thread. The delegate
// proxy would report it again as an opened link; the engine logs it itself, once, with "_cis".
thread_local const std::string* deliveringDeferredDeepLink = nullptr;

}  // namespace

// ---- launch links ----

std::optional<std::string> APMMeasurement::deepLinkFromUserActivity(const platform::Value::Dictionary& userActivity) {
  if (userActivity.empty()) {
    APMLog(7, 23003, "User Activity is empty. User Activity");
    return std::nullopt;
  }
  if (!VULAppEnvironmentUtil::isSystemVersionAtLeast(9, 0)) {
    APMLog(3, 23004, "Deep Link is only supported on iOS 9 and above");
    return std::nullopt;
  }
  const auto cls = platform::userActivityClass();
  if (!cls || !cls->instancesRespondToSelector("webpageURL") || !cls->instancesRespondToSelector("activityType")) {
    APMLog(3, 23005, "NSUserActivity is not supported");
    return std::nullopt;
  }
  const auto type = userActivity.find(platform::kUserActivityTypeKey);
  const std::string* url = nonEmptyString(userActivity, platform::kUserActivityWebpageURLKey);
  if (type != userActivity.end() && type->second.ifString() &&
      *type->second.ifString() == platform::kUserActivityTypeBrowsingWeb && url) {
    return *url;
  }
  APMLog(3, 23006, "User Activity does not have Deep Link. User Activity", APMObject(platform::Value(userActivity)));
  return std::nullopt;
}

void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary& userInfo) {
  const auto store = APMUserDefaults::standardUserDefaults();
  if (const auto it = userInfo.find(platform::kApplicationLaunchOptionsUserActivityDictionaryKey);
      it != userInfo.end() && it->second.isDictionary() && !it->second.dictionaryOrEmpty().empty()) {
    const auto& activities = it->second.dictionaryOrEmpty();
    if (const auto activity = activities.find(platform::kApplicationLaunchOptionsUserActivityKey);
        activity != activities.end() && activity->second.isDictionary()) {
      if (const auto link = deepLinkFromUserActivity(activity->second.dictionaryOrEmpty()); link && !link->empty()) {
        APMStoreDeepLink(*store, *link);
      }
    }
    return;
  }
  if (const std::string* url = nonEmptyString(userInfo, platform::kApplicationLaunchOptionsURLKey)) {
    APMStoreDeepLink(*store, *url);
  }
}

// ---- later links ----

void APMMeasurement::handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) {
  if (scheduler_->workerQueue()->isCurrent()) {
    APMLog(2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void APMMeasurement::handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                   double eventTimestampInSeconds) {
  if (url.empty()) return;
  handleDebugModeWithURL(url);
  handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds);
}

void APMMeasurement::handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                    double eventTimestampInSeconds) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:388", [weak, url, clickTimestampInMs,
                                                                   eventTimestampInSeconds] {
    if (auto self = weak.lock()) {
      self->handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds, std::nullopt);
    }
  });
}

void APMMeasurement::handleDebugModeWithURL(const std::string&) {}

bool APMMeasurement::isValidCampaignURLParamDictionary(const platform::Value::Dictionary& parameters) {
  for (const auto name : kRequiredCampaignParameters) {
    if (nonEmptyString(parameters, name)) return true;
  }
  return false;
}

bool APMMeasurement::shouldAllowClickID() {
  if (!VULAppEnvironmentUtil::isSystemVersionAtLeast(14, 0)) return true;
  const auto id = identity();
  if (!id) return false;
  if (const auto advertisingID = id->resettableDeviceID(); advertisingID && !advertisingID->empty()) return true;
  return id->appleConsentStatus() == 3;
}

void APMMeasurement::handleOpenURLOnWorkerQueue(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                                double eventTimestampInSeconds,
                                                const std::optional<APMDictionary>& extraParameters) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName(
          "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:")) {
    return;
  }
  platform::Value::Dictionary linkParameters;
  APMDictionary numberExtras;
  if (extraParameters) {
    for (const auto& [key, value] : *extraParameters) {
      if (const std::string* s = value.ifString()) {
        linkParameters[key] = platform::Value(*s);
      } else if (value.isNumber()) {
        numberExtras[key] = value;
      }
    }
  }
  for (auto& [key, value] : APMNSDictionaryQuery::apm_dictionaryWithHttpArgumentsString(queryOf(url))) {
    linkParameters[key] = std::move(value);
  }
  if (linkParameters.empty()) {
    APMLog(7, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(linkParameters)) {
    APMLog(3, 23001, "Deep Link does not contain valid required params. URL params",
           APMObject(platform::Value(linkParameters)));
    return;
  }
  APMDictionary parameters;
  for (const auto& [link, event] : kCampaignParameters) {
    if (const std::string* value = nonEmptyString(linkParameters, link)) parameters[std::string(event)] = APMObject(*value);
  }
  if (!shouldAllowClickID()) {
    for (const auto name : kClickIdentifiers) parameters.erase(std::string(name));
  }
  for (const auto& [key, value] : numberExtras) parameters[key] = value;
  if (clickTimestampInMs) parameters["click_timestamp"] = APMObject(static_cast<long long>(*clickTimestampInMs));

  const double firstOpen = static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000.0;
  const double timestamp = std::max(firstOpen, eventTimestampInSeconds);

  if (const auto gbraid = parameters.find("gbraid"); gbraid != parameters.end()) {
    if (const auto value = APMValue::valueFromObject(gbraid->second)) {
      setUserPropertyInDatabaseOnWorkerQueue(APMUserAttribute("auto", "_gbraid", value, timestamp));
    }
  }
  bool extended = false;
  if (const auto cc = parameters.find("_cc"); cc != parameters.end() && cc->second.isNumber()) {
    const platform::Value* number = cc->second.platformValue();
    extended = number && number->doubleValue() == 1;
  }
  auto event = APMEvent::initWithOrigin("auto", false, extended ? "_cmpx" : "_cmp", timestamp, 0, parameters);
  if (event) logEventOnWorkerQueue(event, true);
}

// ---- the deferred deep link ----

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
  const auto config = remoteConfig();
  if (!config->isDeferredDeepLinkEnabled()) {
    APMLog(5, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  const auto bundle = platform::Bundle::main();
  const platform::Value enabled =
      bundle ? bundle->objectForInfoDictionaryKey(kAPMDeferredDeepLinkEnabledKey) : platform::Value();
  if (!enabled.isNumber() || !enabled.boolValue()) return false;
  if (!persistedConfig_->deferredDeepLinkRetrievalComplete().isNull()) {
    APMLog(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (persistedConfig_->deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
    APMLog(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(platform::Value(1));
    return false;
  }
  const auto id = identity();
  const bool limited = !id || !id->hasLimitedAdTracking() || id->limitedAdTracking();
  if (limited) {
    APMLog(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  APMLog(7, 23197, "Deferred Deep Link feature enabled");
  return true;
}

void APMMeasurement::requestDeferredDeepLink() {
  const auto id = identity();
  std::string url = adServicesBaseURL() + std::string(kAPMDeferredDeepLinkPath) + "?" +
                    platform::format("sdk_version=%@&rdid=%@&id_type=idfa&bundleid=%@&retry=%@",
                                     std::to_string(APMIdentity::davEroriveduveLibraryVersion()),
                                     id ? id->resettableDeviceID().value_or("") : std::string(),
                                     id ? id->appID() : std::string(),
                                     std::to_string(persistedConfig_->deferredDeepLinkRetryCount()));
  if (!APMAEU::isFAS()) {
    for (const auto& argument : platform::ProcessInfo::arguments()) {
      if (argument == "-DebugDeferredDeepLink") {
        url += "&ddl_test=1";
        break;
      }
    }
  }
  if (!isURL(url)) {
    APMLog(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  if (!deferredDeepLinkNetwork_) deferredDeepLinkNetwork_ = VULNetwork::initWithReachabilityHost(adServicesBaseURL());
  if (!deferredDeepLinkNetwork_) {
    APMLog(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  setIsNetworkRequestPending(true);
  deferredDeepLinkNetwork_->setTimeoutInterval(remoteConfig()->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  // Background sessions are the upload's choice; a deferred link is asked while the app is in front.
  deferredDeepLinkNetwork_->getURL(
      url, std::nullopt, scheduler_->workerQueue(), false,
      [weak](const std::shared_ptr<platform::HTTPURLResponse>& response, const std::optional<platform::Data>& data,
             const platform::Error& error) {
        const auto self = weak.lock();
        if (!self) return;
        self->setIsNetworkRequestPending(false);
        const std::int64_t status = response ? response->statusCode() : 0;
        if (error.isSet() || (status != 200 && status != 304 && status != 204)) {
          APMLog(1, 23199, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                 APMObject(static_cast<long long>(status)), error.isSet() ? APMObject(error) : APMObject());
          self->persistedConfig_->setDeferredDeepLinkRetryCount(self->persistedConfig_->deferredDeepLinkRetryCount() + 1);
          self->updateSchedule();
          return;
        }
        self->persistedConfig_->setDeferredDeepLinkRetrievalComplete(platform::Value(0));
        const auto info = deepLinkInfoFromResponseData(data.value_or(platform::Data{}));
        if (info && !info->empty()) {
          APMLog(7, 23200, "Successfully retrieved Deferred Deep Link");
          self->handleDeferredDeepLinkInfo(*info);
        } else {
          self->updateSchedule();
        }
      });
}

std::optional<platform::Value::Dictionary> APMMeasurement::deepLinkInfoFromResponseData(const platform::Data& data) {
  if (data.empty()) {
    APMLog(8, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  platform::Error error;
  const auto parsed = platform::JSON::parse(data, &error);
  if (!parsed) {
    APMLog(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error", APMObject(error));
    return std::nullopt;
  }
  if (!parsed->isDictionary() || parsed->dictionaryOrEmpty().empty()) return std::nullopt;
  const auto& info = parsed->dictionaryOrEmpty();
  const std::string* link = nonEmptyString(info, "deeplink");
  if (!link || !isURL(*link)) return std::nullopt;
  return info;
}

void APMMeasurement::handleDeferredDeepLinkInfo(const platform::Value::Dictionary& info) {
  const std::string* link = nonEmptyString(info, "deeplink");
  if (!link || !isURL(*link)) return;
  const std::string url = *link;
  APMDictionary extras{{"cis", APMObject("ddp")}};
  for (const std::string_view key : {"gclid", "gbraid"}) {
    if (const auto it = info.find(key); it != info.end() && !it->second.isNull()) extras[std::string(key)] = it->second;
  }
  platform::Value::Dictionary options;
  if (const auto it = info.find("timestamp"); it != info.end() && !it->second.isNull()) options["timestamp"] = it->second;
  APMLog(8, 23203, "Sending Deferred Deep Link to app delegate");
  const double timestamp = now();
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  platform::DispatchQueue::main()->async([weak, url, options, extras, timestamp] {
    if (!sendDeepLinkURLToAppDelegateOnMainThread(url, options)) {
      APMLog(3, 23204, "App delegate not configured to handle Deferred Deep Link");
      return;
    }
    const auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:310", [weak, url, timestamp, extras] {
      if (auto engine = weak.lock()) engine->handleOpenURLOnWorkerQueue(url, std::nullopt, timestamp, extras);
    });
  });
}

bool APMMeasurement::sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                              const platform::Value::Dictionary& extraInfo) {
  const auto application = platform::Application::shared();
  const auto delegate = application ? application->delegate() : nullptr;
  if (!delegate || !platform::runtime::respondsToSelector(*delegate, platform::kApplicationOpenURLOptionsSelector)) {
    return false;
  }
  deliveringDeferredDeepLink = &url;
  try {
    platform::runtime::send(*delegate, platform::kApplicationOpenURLOptionsSelector,
                            {std::ref(*application), url, extraInfo});
  } catch (...) {
    deliveringDeferredDeepLink = nullptr;
    throw;
  }
  deliveringDeferredDeepLink = nullptr;
  return true;
}

bool APMMeasurement::isDeliveringDeferredDeepLink(const std::string& url) {
  return deliveringDeferredDeepLink && *deliveringDeferredDeepLink == url;
}
