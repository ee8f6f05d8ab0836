#include "sdk/analytics/engine/apm_analytics.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"
#include "platform/runtime/class.h"
#include "platform/store/payment_queue.h"
#include "sdk/analytics/common/apm_app_delegate_interceptor.h"
#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"
#include "sdk/analytics/engine/apm_info_plist_file_util.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/events/apm_parameter_sanitizer.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/core/core/dor_evoredire_configuration.h"
#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"
#include "sdk/utilities/utilities/vul_network.h"

namespace {

constexpr std::string_view kResetRetryCountKey = "reset_retry_count";
constexpr std::string_view kNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
constexpr std::string_view kAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
constexpr std::string_view kDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
constexpr std::string_view kDeferredConsentResetKey = "deferred_consent_reset";
constexpr std::string_view kConsentSourceKey = "consent_source";
constexpr std::string_view kDeferringMessage =
    "Deferring to Videzu Analytics for Vuduzara for event data collection. See "
    "https://docs.invalid/analytics/ios/vuduzara-setup";
constexpr std::string_view kNotLinkedMessage =
    "VuZir and Vuduzara are in use in this app, but are not linked. Please link your VuZir app to your Vuduzara "
    "project and download the VidezuService-Info.plist file again. See https://docs.invalid/analytics/ios/linking";

// The facade's shared instance in its one role: the payment queue's transaction observer.
class PaymentTransactionObserver final : public platform::store::PaymentTransactionObserver {
 public:
  void paymentQueueUpdatedTransactions(const platform::store::TransactionList& transactions) override {
    APMAnalytics::paymentQueueUpdatedTransactions(transactions);
  }
};

// The facade as at process start. Fields marked "serial queue" are touched only there.
struct FacadeState {
  platform::Mutex loadMutex;
  double loadTimestamp GUARDED_BY(loadMutex) = 0;
  std::shared_ptr<platform::OperationQueue> operationQueue;
  std::shared_ptr<platform::DispatchQueue> serialQueue;
  std::shared_ptr<platform::DispatchQueue> timestampQueue;
  std::shared_ptr<APMUserDefaults> settings;
  std::once_flag startOnce;
  std::once_flag unsuspendOnce;
  std::once_flag proxyOnce;
  std::atomic<bool> deactivated{false};
  bool enabled = false;                                   // serial queue
  APMAnalytics::Interceptor interceptor;                  // serial queue
  std::optional<std::map<std::uint64_t, APMAnalytics::Listener>> listeners;  // serial queue
  APMAnalytics::OpenURLListener openURLListener;          // serial queue
  std::atomic<std::uint64_t> nextToken{1};
  std::shared_ptr<const int> observerOwner = std::make_shared<const int>(0);
  std::shared_ptr<PaymentTransactionObserver> paymentObserver = std::make_shared<PaymentTransactionObserver>();

  FacadeState() {
    operationQueue = platform::OperationQueue::make();
    operationQueue->setName("APMAnalyticsOperationQueue");
    operationQueue->setMaxConcurrentOperationCount(1);
    operationQueue->setSuspended(true);
    serialQueue = platform::DispatchQueue::serial(
        std::string(kAPMAnalyticsQueueLabel), platform::DispatchQueue::global(platform::QualityOfService::Background));
    timestampQueue = platform::DispatchQueue::serial("APMAnalyticsTimestampQueue");
    settings = std::make_shared<APMUserDefaults>(std::string(kAPMAnalyticsSuiteName));
  }
};

platform::Mutex& stateMutex() {
  // Never destroyed: a worker may still ask for the facade state while the process exits.
  static platform::Mutex* const m = new platform::Mutex;
  return *m;
}

std::shared_ptr<FacadeState>& stateSlot() {
  // Never destroyed: a worker may still ask for the facade state while the process exits.
  static auto* const s = new std::shared_ptr<FacadeState>;
  return *s;
}

std::shared_ptr<FacadeState> state() {
  platform::MutexLock lock(stateMutex());
  if (!stateSlot()) stateSlot() = std::make_shared<FacadeState>();
  return stateSlot();
}

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

std::shared_ptr<APMMeasurement> engine() { return APMMeasurement::sharedInstanceIfCreated(); }

std::optional<platform::Value::Dictionary> storedDictionary(std::string_view key) {
  return state()->settings->dictionaryForKey(key);
}

// The text an over-long value is reported with.
APMObject valueTextForError(const APMValuePtr& value) {
  if (!value) return APMObject();
  if (value->isString()) return APMObject(*value->stringValue());
  if (value->isInt64() || value->isDouble()) return APMObject(value->description());
  return APMObject();
}

void logInternalEventHook(const std::string& origin, const std::string& name, const APMDictionary& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void maybeEnableRodAdaridi() {
  const auto cls = platform::runtime::classNamed("RODAdaridi");
  if (!cls) return;
  if (!cls->respondsToSelector("initializeSharedInstance")) {
    APMLog(2, 25016, "RODAdaridi class doesn't define initializeSharedInstance");
    return;
  }
  cls->perform("initializeSharedInstance");
}

}  // namespace

void APMAnalytics::load() {
  setLoadTimestamp(now());
  APMSetSanitizerHooks({[] { return static_cast<std::int64_t>(APMMeasurement::remoteConfig()->maxPublicEventParams()); },
                        &logInternalEventHook});
  APMAppDelegateInterceptor::setHooks(
      {[](const std::string& url) { handleOpenURL(url); }, &APMMeasurement::deepLinkFromUserActivity});
}

void APMAnalytics::resetForTesting() {
  std::shared_ptr<FacadeState> old;
  {
    platform::MutexLock lock(stateMutex());
    old = std::move(stateSlot());
  }
  if (old) {
    platform::NotificationCenter::defaultCenter().removeObserver(old->observerOwner.get());
    platform::store::PaymentQueue::defaultQueue().removeTransactionObserver(old->paymentObserver.get());
    old->operationQueue->cancelAllOperations();
    old->serialQueue->sync([] {});
  }
}

// ---- start and queues ----

std::shared_ptr<platform::DispatchQueue> APMAnalytics::queue() { return state()->serialQueue; }

void APMAnalytics::dispatchAsyncOnSerialQueue(Block block) { state()->serialQueue->async(std::move(block)); }

bool APMAnalytics::isCurrentQueueSerialQueue() {
  const auto current = platform::DispatchQueue::current();
  return current && current->label() == kAPMAnalyticsQueueLabel;
}

void APMAnalytics::queueOperationWithBlock(Block block) {
  auto s = state();
  std::weak_ptr<FacadeState> weak = s;
  s->operationQueue->addOperation([weak, block = std::move(block)] {
    if (auto st = weak.lock()) st->serialQueue->async(block);
  });
}

void APMAnalytics::unsuspendOperationQueue() {
  auto s = state();
  std::call_once(s->unsuspendOnce, [&] { s->operationQueue->setSuspended(false); });
}

double APMAnalytics::loadTimestamp() {
  auto s = state();
  platform::MutexLock lock(s->loadMutex);
  return s->loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double timestamp) {
  auto s = state();
  platform::MutexLock lock(s->loadMutex);
  s->loadTimestamp = timestamp;
}

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const std::optional<APMStartOptions>& options) {
  if (platform::runtime::classNamed("VDZADatabase")) {
    APMLog(1, 25029,
           "Detected an older version of Videzu Analytics for Vuduzara framework. Data collection will be disabled. "
           "Please upgrade to the latest version of Videzu Analytics for Vuduzara");
    return;
  }
  const bool hasPublicInterface = platform::runtime::classNamed("DOREvoredire") != nullptr;
  if (hasPublicInterface && origin != "fa") {
    APMLog(3, 25026, "Deferring to Vuduzara for event data collection");
    return;
  }
  if (!hasPublicInterface) {
    if (auto path = APMInfoPlistFileUtil::videzuServiceInfoPlistPath(); path && !path->empty()) {
      APMLog(0, 25027, kDeferringMessage);
      return;
    }
  }
  if (platform::runtime::classNamed("VZRMobileAds") && APMInfoPlistFileUtil::dictionaryFromVidezuServiceInfoPlist()) {
    const auto identity = APMIdentity::sharedInstance();
    const auto vuzir = identity ? identity->appIDFromVuZir() : std::nullopt;
    if (!vuzir || vuzir->empty()) APMLog(3, 25028, kNotLinkedMessage);
  }
  if (options) {
    if (auto it = options->values.find(kAPMStartOptionLogTag); it != options->values.end()) {
      if (it->second.isString() && !it->second.ifString()->empty()) {
        APMMeasurement::monitor()->setLogTag(*it->second.ifString());
      } else {
        APMLog(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
      }
    }
  }

  auto s = state();
  std::call_once(s->startOnce, [&] {
    if (APMConsentSettingsUtil::consentSource() == kAPMConsentSourceNone) loadPersistedConsentSettings();
    const auto identity = APMIdentity::sharedInstance();
    if (identity && origin == "fa") {
      const auto stored = identity->appIDFromVMP();
      if (stored != appID) {
        identity->setAppIDFromVMP(appID);
        APMLog(1, 25020,
               "Analytics requires Videzu App ID from VidezuService-Info.plist. Your data may be lost. Videzu App ID "
               "has been changed. Original, new ID",
               stored ? APMObject(*stored) : APMObject(), appID);
      }
    }
    if (identity && origin == "am") {
      const auto stored = identity->appIDFromVuZir();
      if (stored != appID) {
        APMLog(3, 25031, "VuZir App ID changed. Original, new", stored ? APMObject(*stored) : APMObject(), appID);
        identity->setAppIDFromVuZir(appID);
      }
    }
    platform::NotificationCenter::defaultCenter().post(std::string(kDOREvoredireWillStartNotification));
    APMIdentifiers::sharedInstance().setOrigin(origin);

    s->deactivated = false;
    bool enabled = true;
    std::shared_ptr<DOREvoredireConfiguration> configuration;
    std::optional<std::vector<std::string>> safelisted;
    if (options) {
      const auto& values = options->values;
      if (auto it = values.find(kAPMStartOptionCollectionEnabled); it != values.end() && it->second.isNumber()) {
        enabled = it->second.boolValue();
      }
      if (auto it = values.find(kAPMStartOptionCollectionDeactivated); it != values.end() && it->second.isNumber()) {
        s->deactivated = it->second.boolValue();
      }
      configuration = options->configuration;
      if (auto it = values.find(kAPMStartOptionSafelistedEvents); it != values.end()) {
        if (!it->second.isArray()) {
          APMLog(0, 25034, "Invalid safelisted event parameter. Type must be an array");
        } else {
          std::vector<std::string> names;
          bool valid = true;
          for (const platform::Value& element : it->second.arrayOrEmpty()) {
            if (!APMDataTypeValidator::isValidInternalEventName(APMObject(element), nullptr)) {
              APMLog(0, 25035, "Invalid event name for safelisting. Name", APMObject(element));
              valid = false;
              break;
            }
            names.push_back(*element.ifString());
          }
          if (valid) safelisted = std::move(names);
        }
      }
      const auto startConsent = APMConsentSettingsUtil::consentSettingsFromDictionary(values);
      if (!startConsent.empty()) s->settings->setObject(platform::Value(startConsent), kAPMConsentSettingsOnStartKey);
    }
    const bool deactivated = s->deactivated;
    std::weak_ptr<FacadeState> weak = s;
    s->serialQueue->async([weak, appID, enabled, deactivated, safelisted] {
      auto st = weak.lock();
      if (!st) return;
      APMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelisted);
      if (VULAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
        if (!deactivated) platform::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
      } else {
        APMLog(6, 25036, "App Delegate Proxy is disabled");
      }
      if (const auto measurement = engine()) st->enabled = measurement->wasEnabledDuringInitialization();
      maybeEnableRodAdaridi();
    });
    if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
    platform::store::PaymentQueue::defaultQueue().addTransactionObserver(s->paymentObserver);
    unsuspendOperationQueue();
  });
}

// ---- events ----

void APMAnalytics::logEventWithName(const std::string& name, const APMDictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const APMDictionary& parameters) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicEventName(APMObject(name), &failure)) {
    APMLogErrorEventWithValue(failure == APMValidationReserved ? 13 : 2, APMObject(name), 40, APMObject(name));
    return;
  }
  logEventWithOrigin(origin, true, name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const APMDictionary& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const APMDictionary& parameters) {
  const APMDictionary copied = parameters;
  if (name == "screen_view") {
    APMScreenViewReporter::sharedInstance().trackScreenWithParameters(copied, now());
    return;
  }
  APMDictionary added;
  if (!APMHasScreenParameters(copied)) added = APMScreenViewReporter::sharedInstance().screenParameters();
  auto s = state();
  // Stamping and queueing together keep queue order and timestamp order the same across threads.
  s->timestampQueue->sync([&] {
    const double timestamp = now();
    queueOperationWithBlock([origin, isPublicEvent, name, copied, timestamp, added] {
      logEventOnSerialQueue(origin, isPublicEvent, name, copied, timestamp, false, false, added);
    });
  });
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const APMDictionary& parameters) {
  APMDictionary added;
  if (!APMHasScreenParameters(parameters)) added = APMScreenViewReporter::sharedInstance().screenParameters();
  queueOperationWithBlock([origin, name, parameters, timestamp, added] {
    logEventOnSerialQueue(origin, false, name, parameters, timestamp, false, false, added);
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const APMDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock([origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor] {
    logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor, {});
  });
}

void APMAnalytics::logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                         APMDictionary parameters, double timestamp, bool ignoreEnabled,
                                         bool ignoreInterceptor, APMDictionary addedScreenParameters) {
  if (ignoreInterceptor && addedScreenParameters.empty() &&
      APMDataTypeValidator::isValidForwardedEventOrigin(APMObject(origin), nullptr)) {
    APMDictionary screen = APMScreenParametersFromParameters(parameters);
    if (!screen.empty()) {
      for (const auto& [key, value] : screen) parameters.erase(key);
      addedScreenParameters = std::move(screen);
    }
  }
  if (!APMMeasurement::hasSharedInstance()) return;
  const auto s = state();
  engine()->logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, s->enabled, ignoreEnabled,
                               ignoreInterceptor, s->interceptor, addedScreenParameters);
}

void APMAnalytics::logInternalAdEventWithOrigin(const std::string& origin, const std::string& name,
                                                const APMDictionary& parameters) {
  APMDictionary copied = parameters;
  if (origin == "am") {
    if (auto it = copied.find("_aeid"); it != copied.end() && it->second.ifString()) {
      const std::string text = *it->second.ifString();
      if (APMIsDecimalNumberString(text)) {
        // The integer part, saturated as the platform's integer reading of a text is.
        it->second = APMObject(APMValue::initWithInt64(std::strtoll(text.c_str(), nullptr, 10)));
      } else {
        APMLog(2, 25024, "AdEvent ID string is not a number", text);
      }
    }
  }
  logInternalEventWithOrigin(origin, name, copied);
}

// ---- user properties ----

void APMAnalytics::setUserPropertyString(const APMObject& value, const std::string& name) {
  if (name == "allow_personalized_ads") {
    queueOperationWithBlock([value] {
      const auto s = state();
      if (!s->enabled) APMLog(7, 25033, "Personalized Ads property changed while Analytics is disabled");
      platform::Value stored;
      if (const std::string* text = value.ifString()) {
        stored = platform::Value(*text == "true" || *text == "YES" || *text == "1");
      } else if (value.isNumber()) {
        stored = platform::Value(value.platformValue()->boolValue());
      }
      APMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(stored);
      if (!s->enabled) return;
      const auto measurement = engine();
      if (!measurement) return;
      const auto answer = measurement->shouldDisableAdPersonalization();
      auto attribute = std::make_shared<const APMUserAttribute>(
          "auto", "_npa", APMValue::initWithInt64(answer ? answer->integerValue() : 0), now());
      if (answer) {
        measurement->setUserAttribute(attribute);
      } else {
        measurement->removeUserAttribute(attribute);
      }
    });
    return;
  }
  if (value.isNil()) {
    removeUserAttributeForName(name);
    return;
  }
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(name), &failure)) {
    APMLogErrorEventWithValue(failure == APMValidationReserved ? 15 : 6, APMObject(name), 24, APMObject(name));
    return;
  }
  if (!value.ifString()) {
    APMLog(0, 25003, "User property must be NSString. Value", value);
    return;
  }
  const APMValuePtr apmValue = APMValue::initWithString(*value.ifString());
  if (!APMDataTypeValidator::isValidPublicUserAttributeValue(APMObject(apmValue), &failure)) {
    if (failure == APMValidationTooLong) APMLogErrorEventWithValue(7, APMObject(name), 24, value);
    return;
  }
  setInternalUserProperty(value, name, "app");
}

void APMAnalytics::setUserAttributeNumber(const APMObject& number, const std::string& name) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(name), &failure)) {
    APMLogErrorEventWithValue(failure == APMValidationReserved ? 15 : 6, APMObject(name), 24, APMObject(name));
    return;
  }
  const platform::Value* v = number.platformValue();
  if (!v || !v->isNumber()) return;
  const APMValuePtr value =
      v->isDouble() ? APMValue::initWithDouble(v->doubleValue()) : APMValue::initWithInt64(v->integerValue());
  setInternalUserProperty(APMObject(value), name, "auto");
}

void APMAnalytics::setUserID(const APMObject& userID) {
  if (userID.ifString()) {
    setInternalUserProperty(userID, "_id", "app");
    return;
  }
  if (!userID.isNil()) {
    APMLog(0, 25004, "User ID must be NSString. User ID", userID);
    return;
  }
  removeInternalUserAttributeForName("_id");
  if (APMMeasurement::remoteConfig()->lastAdvertisingIDResetFeatureEnabled()) removeInternalUserAttributeForName("_lair");
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(name), nullptr)) {
    removeInternalUserAttributeForName(name);
  }
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = std::make_shared<const APMUserAttribute>("", name, APMValue::initWithDouble(0), now());
  queueOperationWithBlock([attribute] {
    if (const auto measurement = engine()) measurement->removeUserAttribute(attribute);
  });
}

void APMAnalytics::setInternalUserProperty(const APMObject& value, const std::string& name, const std::string& origin) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(APMObject(name), &failure)) {
    APMLogErrorEventWithValue(6, APMObject(name), 24, APMObject(name));
    return;
  }
  if (origin.empty() || origin.size() > 32) {
    APMLog(2, 25005, "Unable to set user property. Origin is invalid. Origin, name", origin, name);
    return;
  }
  if (value.isNil()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  const APMValuePtr apmValue = APMValue::valueFromObject(value);
  if (!apmValue) return;
  if (!APMDataTypeValidator::isValidInternalUserAttributeValue(APMObject(apmValue), name, &failure)) {
    if (failure == APMValidationTooLong) APMLogErrorEventWithValue(7, APMObject(name), 24, valueTextForError(apmValue));
    return;
  }
  auto attribute = std::make_shared<const APMUserAttribute>(origin, name, apmValue, now());
  queueOperationWithBlock([attribute] {
    if (const auto measurement = engine()) measurement->setUserAttribute(attribute);
  });
}

void APMAnalytics::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  queueOperationWithBlock([includingInternal, queue, callback] {
    if (!callback) {
      APMLog(2, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      APMLog(2, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::DispatchQueue::main()->async([callback] { callback({}); });
      return;
    }
    if (!state()->enabled) {
      APMLog(5, 25008, "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback({}); });
      return;
    }
    const auto measurement = engine();
    if (!measurement) {
      queue->async([callback] { callback({}); });
      return;
    }
    measurement->userPropertiesIncludingInternal(includingInternal, [queue, callback](const auto& properties) {
      queue->async([callback, properties] { callback(properties); });
    });
  });
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                              std::function<void(std::int64_t)> callback) {
  if (origin.empty()) {
    APMLog(2, 25009, "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    APMLog(2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", origin);
    return;
  }
  if (!callback) {
    APMLog(2, 25011, "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin",
           origin);
    return;
  }
  queueOperationWithBlock([origin, queue, callback] {
    const auto measurement = engine();
    if (!measurement) return;
    measurement->maxUserPropertiesForOrigin(origin, [queue, callback](std::int64_t max) {
      queue->async([callback, max] { callback(max); });
    });
  });
}

// ---- collection, consent and reset ----

void APMAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting) APMPersistedConfig::sharedInstance()->setMeasurementEnabledState(enabled ? 1 : 2);
    const auto s = state();
    if (s->deactivated && enabled) return;
    s->enabled = enabled;
    if (const auto measurement = APMMeasurement::sharedInstance()) measurement->setEnabled(enabled);
  });
}

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(
    const std::shared_ptr<DOREvoredireConfiguration>& configuration) {
  const auto s = state();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(s->observerOwner.get());
  center.addObserver(std::weak_ptr<const void>(s->observerOwner),
                     std::string(kDOREvoredireConfigurationSetEnabledNotification), configuration.get(),
                     [](const platform::Notification& note) {
                       auto it = note.userInfo.find(kDOREvoredireConfigurationSetEnabledNotification);
                       handleSetEnabled(it == note.userInfo.end() ? platform::Value() : it->second);
                     });
}

void APMAnalytics::handleSetEnabled(const platform::Value& entry) {
  if (!entry.isNumber()) {
    APMLog(4, 25000, "Received setEnabled notification without NSNumber", APMObject(entry));
    return;
  }
  setAnalyticsEnabled(entry.boolValue(), false);
}

void APMAnalytics::setConsent(const platform::Value::Dictionary& consent) { setConsent(consent, kAPMConsentSettingsKey); }

void APMAnalytics::setConsent(const platform::Value::Dictionary& consent, std::string_view key) {
  const auto config = APMMeasurement::remoteConfig();
  if (key == kAPMConsentSettings3PKey && !config->isConsentSettings3PEnabled()) return;
  if (!config->isConsentSettingsEnabled()) return;
  if (APMConsentSettingsUtil::consentSource() == kAPMConsentSourceNone) loadPersistedConsentSettings();
  platform::Value::Dictionary settings = APMConsentSettingsUtil::consentSettingsFromDictionary(consent);
  for (auto it = settings.begin(); it != settings.end();) {
    const std::string* text = it->second.ifString();
    if (text && (*text == kAPMConsentGranted || *text == kAPMConsentDenied)) {
      ++it;
      continue;
    }
    APMLog(3, 25042, "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
           APMObject(it->second));
    it = settings.erase(it);
  }
  if (settings.empty()) {
    APMLog(3, 25041, "Discarding empty consent settings");
    return;
  }
  const std::int64_t source = key == kAPMConsentSettings3PKey ? kAPMConsentSourceDefault : kAPMConsentSourceAPI;
  if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    APMLog(3, 25043, "Ignoring lower priority consent settings");
    return;
  }
  const auto s = state();
  const auto before = s->settings->dictionaryForKey(key);
  APMConsentSettingsUtil::updateSettings(settings);
  APMConsentSettingsUtil::setConsentSource(source);
  persistConsentSettings(APMConsentSettingsUtil::consentSettings().value_or(settings), source);
  if (APMConsentSettingsUtil::didWithdrawPreviousConsent(before ? platform::Value(*before) : platform::Value())) {
    s->settings->removeObjectForKey(kAppInstanceIDAfterResetKey);
    const auto measurement = engine();
    if (measurement && measurement->didInitializeComponents()) {
      resetAnalyticsData();
    } else {
      s->settings->setObject(platform::Value(true), kDeferredConsentResetKey);
    }
  }
}

void APMAnalytics::persistConsentSettings(const platform::Value::Dictionary& settings, std::int64_t source) {
  const auto s = state();
  s->settings->setObject(platform::Value(settings),
                         source <= kAPMConsentSourceInfoPlist ? kAPMConsentSettings3PKey : kAPMConsentSettingsKey);
  s->settings->setInteger(source, kConsentSourceKey);
}

std::int64_t APMAnalytics::persistedConsentSource() {
  const platform::Value stored = state()->settings->objectForKey(kConsentSourceKey);
  return stored.isNumber() ? stored.integerValue() : kAPMConsentSourceNone;
}

void APMAnalytics::loadPersistedConsentSettings() {
  const std::int64_t source = persistedConsentSource();
  if (source == kAPMConsentSourceNone) return;
  const auto thirdParty = consentSettings3P();
  const auto firstParty = consentSettings1P();
  if (thirdParty || firstParty) {
    APMConsentSettingsUtil::setConsentSettings(thirdParty ? thirdParty : firstParty);
    APMConsentSettingsUtil::setConsentSource(
        std::min(source, thirdParty ? kAPMConsentSourceInfoPlist : kAPMConsentSourceAPIStart));
  } else {
    APMConsentSettingsUtil::setConsentSource(source);
  }
}

std::optional<platform::Value::Dictionary> APMAnalytics::consentSettings3P() {
  return storedDictionary(kAPMConsentSettings3PKey);
}
std::optional<platform::Value::Dictionary> APMAnalytics::consentSettings1P() {
  return storedDictionary(kAPMConsentSettingsKey);
}
std::optional<platform::Value::Dictionary> APMAnalytics::consentSettings1PStart() {
  return storedDictionary(kAPMConsentSettingsOnStartKey);
}
bool APMAnalytics::deferredResetOnDeniedConsent() { return state()->settings->boolForKey(kDeferredConsentResetKey); }
void APMAnalytics::removeStartUpConsentSettings() { state()->settings->removeObjectForKey(kAPMConsentSettingsOnStartKey); }
void APMAnalytics::removeDeferredResetOnDeniedConsent() { state()->settings->removeObjectForKey(kDeferredConsentResetKey); }
std::int64_t APMAnalytics::resetRetryCount() { return state()->settings->integerForKey(kResetRetryCountKey); }
void APMAnalytics::setResetRetryCount(std::int64_t count) {
  if (count < 1) {
    state()->settings->removeObjectForKey(kResetRetryCountKey);
  } else {
    state()->settings->setInteger(count, kResetRetryCountKey);
  }
}
bool APMAnalytics::needFirstOpenAfterReset() { return state()->settings->boolForKey(kNeedFirstOpenAfterResetKey); }
void APMAnalytics::setNeedFirstOpenAfterReset(bool value) {
  state()->settings->setBool(value, kNeedFirstOpenAfterResetKey);
}
void APMAnalytics::removeNeedFirstOpenAfterReset() { state()->settings->removeObjectForKey(kNeedFirstOpenAfterResetKey); }
std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  return state()->settings->stringForKey(kAppInstanceIDAfterResetKey);
}
void APMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  if (appInstanceID) {
    state()->settings->setObject(platform::Value(*appInstanceID), kAppInstanceIDAfterResetKey);
  } else {
    state()->settings->removeObjectForKey(kAppInstanceIDAfterResetKey);
  }
}
platform::Value APMAnalytics::deferredAnalyticsCollection() {
  const platform::Value value = state()->settings->objectForKey(kDeferredAnalyticsCollectionKey);
  return value.isNumber() ? value : platform::Value();
}
void APMAnalytics::setDeferredAnalyticsCollection(const platform::Value& value) {
  state()->settings->setObject(value, kDeferredAnalyticsCollectionKey);
}
bool APMAnalytics::persistentConfigInApplicationSupportEnabled() {
  return APMAnalyticsPersistentConfigInApplicationSupportEnabled();
}
void APMAnalytics::setPersistentConfigInApplicationSupportEnabled(bool enabled) {
  APMAnalyticsSetPersistentConfigInApplicationSupportEnabled(enabled);
}

void APMAnalytics::clearConsent() {
  const auto s = state();
  for (std::string_view key : {kConsentSourceKey, kAPMConsentSettings3PKey, kAPMConsentSettingsKey,
                               kAPMConsentSettingsOnStartKey, kDeferredConsentResetKey}) {
    s->settings->removeObjectForKey(key);
  }
  APMConsentSettingsUtil::setConsentSettings(std::nullopt);
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::optional<std::string> appInstanceID = APMIdentity::randomAppInstanceID();
  if (appInstanceID->empty()) {
    APMLog(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.reset();
  } else {
    setAppInstanceIDAfterReset(appInstanceID);
  }
  queueOperationWithBlock([appInstanceID] {
    const auto measurement = engine();
    // The engine waits for its worker queue; this runs on the facade's queue, never the worker's.
    if (!measurement || !measurement->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
      APMLog(1, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (appInstanceIDAfterReset() == appInstanceID) setAppInstanceIDAfterReset(std::nullopt);
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = appInstanceIDAfterReset(); afterReset && !afterReset->empty()) return afterReset;
  const auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

// ---- screens, links, sessions ----

void APMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  if (!platform::DispatchQueue::isMainThread()) {
    APMLog(3, 25025,
           "setScreenName:screenClass: must be called from the main thread to ensure that events are associated with "
           "the intended screen.");
    return;
  }
  APMScreenViewReporter::sharedInstance().setScreenName(screenName, screenClass);
}

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    if (const auto measurement = APMMeasurement::sharedInstance()) measurement->setSessionTimeoutInterval(seconds);
  });
}

void APMAnalytics::setDefaultEventParameters(const std::optional<APMDictionary>& parameters) {
  queueOperationWithBlock([parameters] {
    const auto measurement = engine();
    if (state()->enabled && measurement) measurement->setDefaultEventParameters(parameters);
  });
}

void APMAnalytics::handleOpenURL(const std::string& url) {
  const double timestamp = now();
  // The engine's own deferred deep link, coming back through the delegate proxy: logged already.
  const bool deferred = APMMeasurement::isDeliveringDeferredDeepLink(url);
  dispatchAsyncOnSerialQueue([url, timestamp, deferred] {
    const auto measurement = deferred ? nullptr : APMMeasurement::sharedInstance();
    if (measurement) measurement->handleNonFirstOpenEventURL(url, timestamp);
    if (const auto listener = state()->openURLListener) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const platform::Value::Dictionary& userActivity) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([userActivity, timestamp] {
    const auto url = APMMeasurement::deepLinkFromUserActivity(userActivity);
    if (!url || url->empty()) return;
    if (const auto measurement = APMMeasurement::sharedInstance()) measurement->handleNonFirstOpenEventURL(*url, timestamp);
  });
}

void APMAnalytics::setOpenURLListener(OpenURLListener listener) {
  dispatchAsyncOnSerialQueue([listener = std::move(listener)] { state()->openURLListener = listener; });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completion) {
  VULNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completion));
}

void APMAnalytics::createAppDelegateProxy() {
  const auto s = state();
  std::call_once(s->proxyOnce, [] {
    VULAppDelegateSwizzler::proxyOriginalDelegate();
    VULAppDelegateSwizzler::registerAppDelegateInterceptor(APMAppDelegateInterceptor::sharedInstance());
  });
}

// ---- purchases ----

void APMAnalytics::paymentQueueUpdatedTransactions(const platform::store::TransactionList& transactions) {
  queueOperationWithBlock([transactions] {
    const auto measurement = engine();
    if (!state()->enabled || !measurement) return;
    measurement->filterPurchaseTransactions(transactions, [](APMMeasurement::PurchaseTransactions kept) {
      APMInAppPurchaseTransactionReporter::sharedInstance()->paymentQueueUpdatedFilteredTransactions(kept);
    });
  });
}

// ---- listeners and interceptor ----

void APMAnalytics::setLogEventInterceptor(Interceptor interceptor) {
  auto store = [interceptor = std::move(interceptor)] { state()->interceptor = interceptor; };
  if (isCurrentQueueSerialQueue()) {
    store();
  } else {
    queueOperationWithBlock(std::move(store));
  }
}

APMAnalytics::ListenerToken APMAnalytics::addLogEventListener(Listener listener) {
  if (!listener) {
    APMLog(2, 25012, "Attempted addition of nil log event listener.");
    return std::nullopt;
  }
  const auto s = state();
  const std::uint64_t token = s->nextToken++;
  auto add = [token, listener = std::move(listener)] {
    auto st = state();
    if (!st->listeners) st->listeners.emplace();
    (*st->listeners)[token] = listener;
  };
  if (isCurrentQueueSerialQueue()) {
    add();
  } else {
    queueOperationWithBlock(std::move(add));
  }
  return token;
}

void APMAnalytics::removeLogEventListener(ListenerToken token) {
  if (!token) {
    APMLog(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token] {
    auto st = state();
    if (!st->listeners) {
      APMLog(2, 25014, "Attempted removal of nil log event listener.");
      return;
    }
    if (st->listeners->erase(*token) == 0) {
      APMLog(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
  });
}

void APMAnalytics::notifyEventListeners(const std::shared_ptr<const APMEvent>& event) {
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void APMAnalytics::notifyEventListenersOnSerialQueue(const std::shared_ptr<const APMEvent>& event) {
  const auto st = state();
  if (!st->listeners) return;
  for (const auto& [token, listener] : *st->listeners) listener(event);
}
