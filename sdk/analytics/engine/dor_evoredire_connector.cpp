#include "sdk/analytics/engine/dor_evoredire_connector.h"

#include <atomic>
#include <cmath>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/runloop/clock.h"
#include "platform/runtime/class.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/engine/dor_evoredire.h"
#include "sdk/analytics/engine/vdz_connector_utils.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_library.h"

namespace {

using Dictionary = platform::Value::Dictionary;

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

APMDictionary apmDictionary(const Dictionary& dictionary) {
  APMDictionary result;
  for (const auto& [key, value] : dictionary) result.emplace(key, APMObject(value));
  return result;
}

// A value of a conditional-property dictionary that does not fit its property is left out.
void ignoreEntry(const std::string& key, const platform::Value& value) {
  APMLog(3, 11021, "Conditional user property entry ignored. Key, class", key, APMObject(value).className());
}

std::optional<double> number(const platform::Value& value) {
  if (value.isBool() || !value.isNumber()) return std::nullopt;
  const double number = value.doubleValue();
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

std::shared_ptr<APMPBEvent> templateEvent(const platform::Value& value) {
  const Dictionary* dictionary = value.ifDictionary();
  if (!dictionary) return nullptr;
  const auto event = DOREvoredireConnector::eventFromDictionary(*dictionary);
  return event ? event->protoEvent() : nullptr;
}

// Fills one of the record's twelve properties from a dictionary entry; false when the key names
// none of them or the value is of the wrong kind.
bool setProperty(APMConditionalUserProperty& property, const std::string& key, const platform::Value& value) {
  using Events = std::shared_ptr<APMPBEvent> APMConditionalUserProperty::*;
  using Texts = std::string APMConditionalUserProperty::*;
  using Times = double APMConditionalUserProperty::*;
  // Never destroyed: a worker may still fill a property while the process exits.
  static const auto* const events = new std::map<std::string_view, Events>{
      {"triggeredEvent", &APMConditionalUserProperty::triggeredEvent},
      {"timedOutEvent", &APMConditionalUserProperty::timedOutEvent},
      {"expiredEvent", &APMConditionalUserProperty::expiredEvent}};
  static const auto* const texts = new std::map<std::string_view, Texts>{
      {"name", &APMConditionalUserProperty::name},
      {"origin", &APMConditionalUserProperty::origin},
      {"triggerEventName", &APMConditionalUserProperty::triggerEventName}};
  static const auto* const times = new std::map<std::string_view, Times>{
      {"creationTimestamp", &APMConditionalUserProperty::creationTimestamp},
      {"triggerTimeout", &APMConditionalUserProperty::triggerTimeout},
      {"timeToLive", &APMConditionalUserProperty::timeToLive},
      {"triggeredTimestamp", &APMConditionalUserProperty::triggeredTimestamp}};

  if (const auto it = events->find(key); it != events->end()) {
    auto event = templateEvent(value);
    if (!event) return false;
    property.*(it->second) = std::move(event);
    return true;
  }
  if (const auto it = texts->find(key); it != texts->end()) {
    const std::string* text = value.ifString();
    if (!text) return false;
    property.*(it->second) = *text;
    return true;
  }
  if (const auto it = times->find(key); it != times->end()) {
    const auto seconds = number(value);
    if (!seconds) return false;
    property.*(it->second) = *seconds;
    return true;
  }
  if (key == "value") {
    if (const std::string* text = value.ifString()) {
      property.value = APMValue::initWithString(*text);
    } else if (value.isInteger() || value.isDouble()) {
      property.value = APMValue::valueFromObject(APMObject(value));
    } else {
      return false;
    }
    return property.value != nullptr;
  }
  if (key == "active") {
    if (!value.isBool() && !value.isInteger()) return false;
    property.active = value.boolValue();
    return true;
  }
  return false;
}

}  // namespace

void DOREvoredireConnector::load() {
  auto cls = platform::runtime::registerClassOnce(
      VDZLibrary::classDefinition<DOREvoredireConnector>(std::string(kDOREvoredireConnectorClassName)));
  VDZApp::registerInternalLibrary(cls, kDOREvoredireConnectorLibraryName, kDOREvoredireConnectorLibraryVersion);
}

VDZComponentList DOREvoredireConnector::componentsToRegister() {
  return {VDZComponent::componentWithProtocol(
      platform::runtime::Protocol::of<DOREvoredireInterop>(), VDZInstantiationTimingLazy, {},
      [](VDZComponentContainer&, bool*) -> std::shared_ptr<platform::runtime::Object> {
        return std::make_shared<DOREvoredireConnector>();
      })};
}

std::shared_ptr<platform::DispatchQueue> DOREvoredireConnector::connectorQueue() {
  // Never destroyed: work on the queue may still ask for it while the process exits.
  static const auto* const queue = new std::shared_ptr<platform::DispatchQueue>(
      platform::DispatchQueue::serial(std::string(kDOREvoredireConnectorQueueLabel)));
  return *queue;
}

// ---- events and user properties ----

void DOREvoredireConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const Dictionary& parameters) {
  if (!VDZConnectorUtils::isOriginAllowed(origin) || !VDZConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  APMDictionary logged = apmDictionary(parameters);
  if (name == "_cmp") {
    if (const auto marker = VDZConnectorUtils::campaignIntegrationForOrigin(origin)) logged["_cis"] = APMObject(*marker);
  } else if (name == "_ae" && origin == "clx") {
    // The crash reporter's crash event is sent as soon as possible.
    logged["_r"] = APMObject(1);
  }
  DOREvoredire::logInternalEventWithOrigin(origin, name, logged);
}

void DOREvoredireConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const platform::Value& value) {
  if (!VDZConnectorUtils::isOriginAllowed(origin) || !VDZConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  // A null value removes the property.
  DOREvoredire::setInternalUserProperty(value.isNull() ? APMObject() : APMObject(value), name, origin);
}

void DOREvoredireConnector::getUserPropertiesWithCallback(std::function<void(Dictionary)> callback) {
  if (!callback) return;
  DOREvoredire::userPropertiesIncludingInternal(false, connectorQueue(),
                                                [callback](const Dictionary& properties) { callback(properties); });
}

std::int64_t DOREvoredireConnector::maxUserProperties(const std::string& origin) {
  if (connectorQueue()->isCurrent()) {
    // The answer arrives on this very queue: waiting here could only time out.
    APMLog(2, 25044, "Cannot wait for max user properties on the connector queue. Origin", origin);
    return 0;
  }
  struct Answer {
    std::atomic<std::int64_t> value{0};
    platform::DispatchSemaphore done;
  };
  auto answer = std::make_shared<Answer>();
  DOREvoredire::maxUserPropertiesForOrigin(origin, connectorQueue(), [answer](std::int64_t value) {
    answer->value = value;
    answer->done.signal();
  });
  if (!answer->done.wait(kDOREvoredireConnectorMaxUserPropertiesTimeout)) return 0;
  return answer->value;
}

// ---- conditional user properties ----

void DOREvoredireConnector::setConditionalUserProperty(const Dictionary& conditionalUserProperty) {
  if (conditionalUserProperty.empty()) return;
  auto property = std::make_shared<APMConditionalUserProperty>();
  for (const auto& [key, value] : conditionalUserProperty) {
    if (!setProperty(*property, key, value)) ignoreEntry(key, value);
  }
  const std::string name = property->name;
  APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(property, name);
}

void DOREvoredireConnector::clearConditionalUserProperty(const std::string& userPropertyName,
                                                         const std::string& origin, const std::string& clearEventName,
                                                         const Dictionary& clearEventParameters) {
  std::shared_ptr<APMEvent> clearEvent;
  if (!clearEventName.empty()) clearEvent = eventWithOrigin(origin, clearEventName, clearEventParameters);
  APMConditionalUserPropertyController::sharedInstance()->clearConditionalUserPropertyWithClearEvent(clearEvent,
                                                                                                   userPropertyName);
}

platform::Value::Array DOREvoredireConnector::conditionalUserProperties(const std::string& origin,
                                                                        const std::string& propertyNamePrefix) {
  platform::Value::Array result;
  const auto properties = APMConditionalUserPropertyController::sharedInstance()->conditionalUserPropertiesWithNamePrefix(
      APMObject(propertyNamePrefix), APMObject(origin));
  if (!properties) return result;
  for (const auto& property : *properties) {
    if (!property || property->name.empty() || !property->value || !property->value->isString()) continue;
    result.push_back(platform::Value(Dictionary{{"name", platform::Value(property->name)},
                                                {"value", platform::Value(*property->value->stringValue())}}));
  }
  return result;
}

// ---- listeners ----

void DOREvoredireConnector::registerAnalyticsListener(std::shared_ptr<DOREvoredireInteropListener> listener,
                                                      const std::string& origin) {
  if (!listener || !VDZConnectorUtils::isListenerOriginAllowed(origin)) return;
  platform::MutexLock lock(mutex_);
  listeners_[origin] = std::move(listener);
  if (logEventListener_) return;
  std::weak_ptr<DOREvoredireConnector> weak = weak_from_this();
  logEventListener_ = DOREvoredire::addLogEventListener([weak](const std::shared_ptr<const APMEvent>& event) {
    if (auto self = weak.lock()) self->relayEvent(event);
  });
}

void DOREvoredireConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  platform::MutexLock lock(mutex_);
  listeners_.erase(origin);
  if (!listeners_.empty() || !logEventListener_) return;
  DOREvoredire::removeLogEventListener(logEventListener_);
  logEventListener_.reset();
}

void DOREvoredireConnector::relayEvent(const std::shared_ptr<const APMEvent>& event) {
  if (!event || !VDZConnectorUtils::isEventNameAllowedForListeners(event->name())) return;
  // Listeners are called outside the lock, from a copy taken now.
  std::vector<std::shared_ptr<DOREvoredireInteropListener>> receivers;
  {
    platform::MutexLock lock(mutex_);
    if (const auto it = listeners_.find(event->origin()); it != listeners_.end()) {
      receivers.push_back(it->second);
    } else if (VDZConnectorUtils::isAppOrigin(event->origin())) {
      for (const auto& [origin, listener] : listeners_) receivers.push_back(listener);
    }
  }
  if (receivers.empty()) return;
  connectorQueue()->async([event, receivers = std::move(receivers)] {
    auto parameters = simplifiedParametersFromEventParameters(event->parameters());
    platform::DispatchQueue::main()->async(
        [name = event->name(), parameters = std::move(parameters), receivers] {
          for (const auto& listener : receivers) listener->messageTriggered(name, parameters);
        });
  });
}

// ---- conversions ----

std::shared_ptr<APMEvent> DOREvoredireConnector::eventFromDictionary(const Dictionary& dictionary) {
  const platform::Value& timestamp = dictionary.contains("timestamp") ? dictionary.at("timestamp") : platform::Value();
  const auto seconds = number(timestamp);
  const auto text = [&](std::string_view key) {
    const auto it = dictionary.find(key);
    return it != dictionary.end() && it->second.isString() ? *it->second.ifString() : std::string();
  };
  const auto parameters = dictionary.find("parameters");
  return APMEvent::initWithOrigin(
      text("origin"), false, text("name"), seconds.value_or(now()), 0,
      apmDictionary(parameters != dictionary.end() ? parameters->second.dictionaryOrEmpty() : Dictionary{}));
}

std::shared_ptr<APMEvent> DOREvoredireConnector::eventWithOrigin(const std::string& origin, const std::string& name,
                                                                 const Dictionary& parameters) {
  return APMEvent::initWithOrigin(origin, false, name, now(), 0, apmDictionary(parameters));
}

Dictionary DOREvoredireConnector::simplifiedParametersFromEventParameters(const APMDictionary& parameters) {
  Dictionary simplified;
  for (const auto& [key, object] : parameters) {
    if (const platform::Value* value = object.platformValue()) {
      if ((value->isNumber() || value->isString())) simplified[key] = *value;
      continue;
    }
    const APMValuePtr* apmValue = object.apmValue();
    if (!apmValue || !*apmValue) continue;
    const APMValue& v = **apmValue;
    if (v.isDouble()) {
      simplified[key] = platform::Value(v.doubleValue());
    } else if (v.isInt64()) {
      simplified[key] = platform::Value(v.int64Value());
    } else if (v.isString()) {
      simplified[key] = platform::Value(*v.stringValue());
    }
  }
  return simplified;
}
