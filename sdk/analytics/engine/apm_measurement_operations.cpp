// The engine's operations entered from the facade: each schedules its worker-queue half under a
// fixed block ID, holding the engine weakly; callbacks leave through global queues so a caller's
// work never blocks the worker queue.
#include <algorithm>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/events/apm_parameter_sanitizer.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

std::shared_ptr<platform::DispatchQueue> callbackQueue() {
  return platform::DispatchQueue::global(platform::QualityOfService::Background);
}

std::string valueText(const APMValuePtr& value) { return value ? value->description() : std::string(); }

}  // namespace

// ---- any thread ----

void APMMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        const APMDictionary& parameters, double timestamp, bool enabled,
                                        bool ignoreEnabled, bool ignoreInterceptor, Interceptor interceptor,
                                        const APMDictionary& addedScreenParameters) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "APMMeasurement:2212", [weak, origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled,
                              ignoreInterceptor, interceptor = std::move(interceptor), addedScreenParameters] {
        if (auto self = weak.lock()) {
          self->logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, enabled,
                                                ignoreEnabled, ignoreInterceptor, interceptor, addedScreenParameters);
        }
      });
}

void APMMeasurement::logEvent(std::shared_ptr<APMEvent> event) {
  if (!event) {
    APMLog(4, 23048, "Attempted to log nil event");
    return;
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2318", [weak, event] {
    if (auto self = weak.lock()) self->handleEventOnWorkerQueue(event);
  });
}

void APMMeasurement::setDefaultEventParameters(const std::optional<APMDictionary>& parameters) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2327", [weak, parameters] {
    if (auto self = weak.lock()) self->handleSetDefaultEventParametersOnWorkerQueue(parameters);
  });
}

void APMMeasurement::removeUserAttribute(std::shared_ptr<const APMUserAttribute> attribute) {
  if (!attribute) {
    APMLog(3, 23074, "Attempted to remove nil user property");
    return;
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2471", [weak, attribute] {
    if (auto self = weak.lock()) self->removeUserAttributeOnWorkerQueue(*attribute);
  });
}

void APMMeasurement::setUserAttribute(std::shared_ptr<const APMUserAttribute> attribute) {
  if (!attribute) {
    APMLog(3, 23079, "Attempted to set nil user property");
    return;
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2518", [weak, attribute] {
    if (auto self = weak.lock()) self->setUserAttributeOnWorkerQueue(*attribute);
  });
}

void APMMeasurement::userAttributeWithName(const std::string& name, UserAttributeCallback callback) {
  if (!callback) {
    APMLog(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2658", [weak, name, callback] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<const APMUserAttribute> attribute;
    if (self->database_) {
      platform::Error error;
      attribute = self->database_->userAttributeWithName(name, &error);
      if (!attribute && !error.domain().empty()) APMLog(1, 23089, "Unable to get user attribute by name. Name", name);
    }
    callbackQueue()->async([callback, attribute] { callback(attribute); });
  });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includingInternal, UserPropertiesCallback callback) {
  if (!callback) {
    APMLog(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:2713", [weak, includingInternal, callback] {
    auto self = weak.lock();
    if (!self) return;
    platform::Value::Dictionary properties;
    platform::Error error;
    const auto attributes =
        self->database_ ? self->database_->userAttributesIncludingInternal(includingInternal, &error) : std::nullopt;
    if (!attributes) {
      APMLog(1, 23091, "Unable to retrieve user properties. Error", error);
    } else {
      for (const auto& attribute : *attributes) {
        if (!attribute || attribute->name().empty() || !attribute->value()) {
          APMLog(3, 23092, "Cannot add invalid public user property name or value.");
          continue;
        }
        const APMValue& value = *attribute->value();
        if (value.isString()) {
          properties[attribute->name()] = platform::Value(*value.stringValue());
        } else if (value.isDouble()) {
          properties[attribute->name()] = platform::Value(value.doubleValue());
        } else if (value.isInt64()) {
          properties[attribute->name()] = platform::Value(value.int64Value());
        }
      }
    }
    callbackQueue()->async([callback, properties = std::move(properties)] { callback(properties); });
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback) {
  if (origin.empty()) {
    APMLog(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    APMLog(0, 23094, "MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  callbackQueue()->async([callback] { callback(kAPMMaxUserPropertiesPerOrigin); });
}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:1478", [weak, seconds] {
    const auto self = weak.lock();
    if (const auto reporter = self ? self->sessionReporter() : nullptr) reporter->setTimeoutSessionInterval(seconds);
  });
}

// ---- worker queue ----

void APMMeasurement::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                     const std::string& name, APMDictionary parameters,
                                                     double timestamp, bool enabled, bool ignoreEnabled,
                                                     bool ignoreInterceptor, const Interceptor& interceptor,
                                                     const APMDictionary& addedScreenParameters) {
  if (!ignoreInterceptor && name != kAPMErrorParameter) parameters = parametersWithAddedDefaultEventParameters(parameters);
  auto event = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, parameters);
  if (!event) {
    APMLog(1, 23219, "Attempted to log nil event. Origin, name, parameters", origin, name, APMObject(parameters));
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);
  if (!enabled && !ignoreEnabled) {
    logEventOnWorkerQueue(event, false);
  } else if (origin == "am" || name == "_xa" || name == "_xu") {
    logEventOnWorkerQueue(event, false);
  } else if (!isPublicEvent || !interceptor || ignoreInterceptor) {
    logEventOnWorkerQueue(event, true);
  } else {
    APMDictionary forwarded = parameters;
    for (const auto& [key, value] : addedScreenParameters) forwarded[key] = value;
    interceptor(origin, name, forwarded, timestamp);
  }
}

void APMMeasurement::logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners) {
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(event);
    return;
  }
  auto copy = event->copy();
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(copy);
}

APMDictionary APMMeasurement::parametersWithAddedDefaultEventParameters(const APMDictionary& parameters) {
  const auto defaults = persistedConfig_->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  APMDictionary merged;
  for (const auto& [key, value] : *defaults) merged[key] = APMObject(value);
  for (const auto& [key, value] : parameters) merged[key] = value;
  return merged;
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(const std::optional<APMDictionary>& parameters) {
  if (!enabled_) {
    APMLog(7, 23211, "Analytics is disabled. Default event parameters not updated");
    return;
  }
  APMDictionary result;
  if (parameters) {
    if (const auto stored = persistedConfig_->defaultEventParameters()) {
      for (const auto& [key, value] : *stored) result[key] = APMObject(value);
    }
    for (const auto& [key, value] : *parameters) {
      const bool isNull = value.isNil() || value.isNullObject();
      if (!isNull && !value.isNumber() && !value.ifString()) {
        if (value.isArray()) APMLogErrorEvent(27);
        APMLog(4, 23213, "Invalid key in default event parameters. Parameter ignored.", key);
        continue;
      }
      if (!APMDataTypeValidator::isValidPublicEventParameterName(APMObject(key), nullptr)) {
        APMLog(4, 23214, "Invalid default event parameter name. Name", key);
        continue;
      }
      if (isNull) {
        result.erase(key);
        continue;
      }
      const APMValuePtr apmValue = APMValue::valueFromObject(value);
      if (apmValue && APMDataTypeValidator::isValidPublicEventParameterValue(APMObject(apmValue), nullptr)) {
        result[key] = value;
      }
    }
  }
  const auto limit = static_cast<std::size_t>(remoteConfig()->maxPublicEventParams());
  if (result.size() > limit) {
    APMTrimCustomEventParameters(result, limit);
    APMLogErrorEvent(26);
    APMLog(4, 23215, "Too many default event parameters set. Discarding beyond event parameter limit");
  }
  APMLog(7, 23216, "Updating default event parameters. Parameters", APMObject(result));
  platform::Value::Dictionary stored;
  for (const auto& [key, value] : result) stored[key] = APMObjectToPlatformValue(value);
  persistedConfig_->setDefaultEventParameters(stored);
}

// Setting and removing a user property are writes of their own, kept in line with the events
// around them while another connection holds the database.
void APMMeasurement::removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!enabled_) {
    APMLog(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  const std::string& name = attribute.name();
  performDatabaseWriteOnWorkerQueue([this, name] { removeUserPropertyInDatabaseOnWorkerQueue(name); },
                                    [name] {
                                      return std::optional(platform::Value::Dictionary{{"k", platform::Value("r")},
                                                                                       {"n", platform::Value(name)}});
                                    });
}

void APMMeasurement::removeUserPropertyInDatabaseOnWorkerQueue(const std::string& name) {
  if (!database_) return;
  platform::Error error;
  if (database_->deleteUserAttributeWithName(name, &error)) {
    APMLog(7, 23078, "User property removed. Name", name);
  } else {
    APMLog(1, 23077, "Unable to remove user property. Name, error", name, error);
  }
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!enabled_) {
    APMLog(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  performDatabaseWriteOnWorkerQueue([this, attribute] { setUserPropertyInDatabaseOnWorkerQueue(attribute); },
                                    [attribute] {
                                      auto record = APMKeptWriteRecordForUserAttribute(attribute);
                                      record["k"] = platform::Value("u");
                                      return std::optional(std::move(record));
                                    });
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
  if (!database_) return false;
  platform::Error error;
  const auto exists = database_->containsUserAttributeWithName(attribute.name(), &error);
  if (!exists) {
    APMLog(1, 23082, "Unable to query existence of user property. Name, error", attribute.name(), error);
    return false;
  }
  if (*exists && attribute.name() == "_id" && remoteConfig()->lastAdvertisingIDResetFeatureEnabled()) {
    platform::Error lookupError;
    const auto stored = database_->userAttributeWithName("_id", &lookupError);
    if (stored && valueText(stored->value()) != valueText(attribute.value())) {
      database_->deleteUserAttributeWithName("_lair", &lookupError);
    }
  }
  if (!*exists) {
    std::optional<std::int64_t> count;
    std::int64_t limit = 0;
    if (attribute.isPublic()) {
      count = database_->publicUserAttributeCount(&error);
      limit = remoteConfig()->maxPublicUserProperties();
    } else {
      count = database_->userAttributeCountForOrigin(attribute.origin(), &error);
      limit = kAPMMaxUserPropertiesPerOrigin;
    }
    if (!count) {
      APMLog(1, 23083, "Unable to query user property count. Origin, error", attribute.origin(), error);
      return false;
    }
    if (*count >= limit) {
      APMLog(3, 23084, "Unable to set user property. Reached limit on set user properties for origin. Origin, name, value",
             attribute.origin(), attribute.name(), valueText(attribute.value()));
      APMLogErrorEvent(9);
      return false;
    }
  }
  if (!database_->updateUserAttribute(&attribute, &error)) {
    APMLog(1, 23085, "Unable to set user property. Name, value, error", attribute.name(), valueText(attribute.value()),
           error);
    return false;
  }
  APMLog(7, 23087, "User property set. Name, value", attribute.name(), valueText(attribute.value()));
  return true;
}
