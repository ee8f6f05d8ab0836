#include "sdk/analytics/events/apm_event.h"

#include <limits>

#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names_for_log.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_parameter_sanitizer.h"
#include "sdk/analytics/messages/nano_accessors.h"

namespace {

// Field indexes of the event and parameter messages.
enum EventField { kEventParams = 0, kEventName = 1, kEventTimestamp = 2, kEventPreviousTimestamp = 3 };
enum ParamField { kParamName = 0, kParamString = 1, kParamInt = 2, kParamDouble = 4, kParamNested = 5 };

bool flag(const APMDictionary& parameters, std::string_view name) {
  const auto it = parameters.find(name);
  if (it == parameters.end()) return false;
  const APMValuePtr* v = it->second.apmValue();
  return v && (*v)->isInt64() && (*v)->int64Value() == 1;
}

void setFlag(APMDictionary& parameters, std::string_view name, bool on) {
  if (on) {
    parameters[std::string(name)] = APMInt64Object(1);
  } else {
    parameters.erase(std::string(name));
  }
}

// A string value, given plain or as an APMValue.
const std::string* screenString(const APMObject& object) {
  if (const std::string* s = object.ifString()) return s;
  if (const APMValuePtr* v = object.apmValue()) return (*v)->stringValue();
  return nullptr;
}

}  // namespace

std::shared_ptr<APMEvent> APMEvent::initWithOrigin(const std::string& origin, bool isPublic, const std::string& name,
                                                   double timestamp, double previousTimestamp,
                                                   const APMDictionary& parameters) {
  APMDataTypeValidator::Code code = 0;
  if (!APMDataTypeValidator::isValidForwardedEventOrigin(APMObject(origin), &code)) {
    if (code != APMValidationNoForwardedSuffix ||
        !APMDataTypeValidator::isValidInternalEventOrigin(APMObject(origin), nullptr)) {
      return nullptr;
    }
  }
  if (isPublic && !APMDataTypeValidator::isValidPublicEventName(APMObject(name), nullptr)) return nullptr;
  if (!APMDataTypeValidator::isValidInternalEventName(APMObject(name), nullptr)) return nullptr;
  if (previousTimestamp > timestamp) {
    APMLog(5, 16002, "Event created with previous timestamp after current timestamp");
  }
  auto event = std::make_shared<APMEvent>();
  event->origin_ = origin;
  event->name_ = name;
  event->timestamp_ = timestamp;
  event->previousTimestamp_ = previousTimestamp;
  event->parameters_ = APMSanitizeEventParameters(parameters, name, isPublic, false).value_or(APMDictionary{});
  event->parameters_["_o"] = APMObject(APMValue::initWithString(origin));
  if (event->shouldValidateParams() && !APMValidateValueAndCurrency(event->parameters_)) event->parameters_.erase("_c");
  return event;
}

std::shared_ptr<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

std::shared_ptr<APMEvent> APMEvent::copyWithParameters(const APMDictionary& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::shared_ptr<APMEvent> APMEvent::copy() const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters_);
}

bool APMEvent::shouldValidateParams() const { return isConversion() || name_ == "ad_impression" || name_ == "_ai"; }

bool APMEvent::isConversion() const { return flag(parameters_, "_c"); }

void APMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!APMValidateValueAndCurrency(parameters_)) return;
    setFlag(parameters_, "_c", true);
    if (const auto it = parameters_.find(kAPMErrorParameter); it != parameters_.end()) {
      const APMValuePtr* v = it->second.apmValue();
      if (v && (*v)->isInt64() && (*v)->int64Value() == 10) parameters_.erase(it);
    }
    return;
  }
  if (!parameters_.contains("_c")) return;
  parameters_.erase("_c");
  APMSetErrorCodeIfAbsent(parameters_, 10);
}

bool APMEvent::isRealtime() const {
  const auto it = parameters_.find("_r");
  if (it != parameters_.end()) {
    const APMValuePtr* v = it->second.apmValue();
    if (!v || !(*v)->isInt64()) {
      APMLog(2, 16006, "Realtime parameter must be an int64. Event name", name_);
      return false;
    }
  }
  return flag(parameters_, "_r");
}

void APMEvent::setRealtime(bool realtime) { setFlag(parameters_, "_r", realtime); }

bool APMEvent::isDebug() const { return flag(parameters_, "_dbg"); }

void APMEvent::setDebug(bool debug) { setFlag(parameters_, "_dbg", debug); }

void APMEvent::applyParameters(const APMDictionary& defaults) {
  if (defaults.empty()) return;
  auto merged = APMSanitizeParameters(defaults, true);
  if (!merged || merged->empty()) return;
  for (const auto& [name, value] : parameters_) (*merged)[name] = value;
  parameters_ = std::move(*merged);
}

bool APMEvent::addScreenParameters(const APMDictionary& screenParameters) {
  if (screenParameters.empty()) return false;
  if (parameters_.contains("_sn") || parameters_.contains("_sc") || parameters_.contains("_si")) return false;
  const auto si = screenParameters.find("_si");
  if (si == screenParameters.end()) return false;
  const auto sc = screenParameters.find("_sc");
  if (sc != screenParameters.end()) {
    const std::string* s = screenString(sc->second);
    if (!s) return false;
    if (!APMDataTypeValidator::isValidScreenParameterValue(APMObject(*s), nullptr)) {
      APMLog(3, 16003, "Received invalid screen class", *s);
      return false;
    }
  }
  const APMValuePtr* siValue = si->second.apmValue();
  if (!(siValue && (*siValue)->isInt64()) && !si->second.isNumber()) return false;
  const auto sn = screenParameters.find("_sn");
  if (sn != screenParameters.end()) {
    const std::string* s = screenString(sn->second);
    if (!s) return false;
    if (!APMDataTypeValidator::isValidScreenParameterValue(APMObject(*s), nullptr)) {
      APMLog(3, 16004, "Received invalid screen name", *s);
      return false;
    }
  }
  APMValuePtr id = APMValue::valueFromObject(si->second);
  if (!id) return false;
  parameters_["_si"] = APMObject(id);
  for (const auto& it : {sc, sn}) {
    if (it == screenParameters.end()) continue;
    if (APMValuePtr v = APMValue::valueFromObject(it->second)) parameters_[it->first] = APMObject(v);
  }
  return true;
}

std::vector<std::shared_ptr<APMPBEventParam>> APMProtoEventParams(const APMDictionary& parameters,
                                                                  const std::string& eventName, bool nested) {
  std::vector<std::shared_ptr<APMPBEventParam>> out;
  for (const auto& [name, object] : parameters) {
    const APMValuePtr* v = object.apmValue();
    if (!v) {
      APMLog(2, 16005, "Invalid event param value. Event name, param name", APMEventNameForLog(eventName),
             APMParameterNameForLog(name));
      continue;
    }
    const APMValue& value = **v;
    if (value.isArray() && nested) {
      APMLog(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
             APMEventNameForLog(eventName), APMParameterNameForLog(name));
      continue;
    }
    auto param = APMPBEventParam::initWithMessageInfo();
    NANOSetString(param.get(), kParamName, name);
    if (value.isDouble()) {
      NANOSetDouble(param.get(), kParamDouble, value.doubleValue());
    } else if (value.isInt64()) {
      NANOSetInt64(param.get(), kParamInt, value.int64Value());
    } else if (const std::string* s = value.stringValue()) {
      NANOSetString(param.get(), kParamString, *s);
    } else if (const APMArray* elements = value.arrayValue()) {
      std::vector<std::shared_ptr<APMPBEventParam>> items;
      for (const APMObject& element : *elements) {
        auto item = APMPBEventParam::initWithMessageInfo();
        NANOSetArray(item.get(), kParamNested, APMProtoEventParams(element.dictionaryEntries(), eventName, true));
        items.push_back(std::move(item));
      }
      NANOSetArray(param.get(), kParamNested, items);
    }
    out.push_back(std::move(param));
  }
  return out;
}

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
  auto proto = APMPBEvent::initWithMessageInfo();
  NANOSetString(proto.get(), kEventName, name_);
  if (previousTimestamp_ > std::numeric_limits<double>::epsilon()) {
    NANOSetInt64(proto.get(), kEventPreviousTimestamp, APMMillisecondsFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(proto.get(), kEventTimestamp, APMMillisecondsFromSeconds(timestamp_));
  NANOSetArray(proto.get(), kEventParams, APMProtoEventParams(parameters_, name_, false));
  return proto;
}

std::shared_ptr<APMEvent> APMEvent::initWithEventProto(const APMPBEvent& proto) {
  const std::string name = NANOGetString(&proto, kEventName).value_or("");
  const double timestamp = static_cast<double>(NANOGetInt64(&proto, kEventTimestamp)) / 1000.0;
  const double previous = static_cast<double>(NANOGetInt64(&proto, kEventPreviousTimestamp)) / 1000.0;
  std::optional<std::string> origin;
  APMDictionary parameters;
  for (const auto& param : NANOGetArray<APMPBEventParam>(&proto, kEventParams).value_or(
           std::vector<std::shared_ptr<APMPBEventParam>>{})) {
    const auto paramName = NANOGetString(param.get(), kParamName);
    if (!paramName) {
      APMLog(2, 15000, "Ignoring parameter. Parameter name is nil. Event name", name);
      continue;
    }
    if (*paramName == "_o") {
      if (!NANOHasField(param.get(), kParamString)) {
        APMLog(2, 15001, "Cannot create an event from event proto. Origin parameter is not a string. Event name", name);
        return nullptr;
      }
      origin = NANOGetString(param.get(), kParamString);
      continue;
    }
    if (NANOHasField(param.get(), kParamString)) {
      parameters[*paramName] = APMObject(APMValue::initWithString(NANOGetString(param.get(), kParamString).value_or("")));
    } else if (NANOHasField(param.get(), kParamInt)) {
      parameters[*paramName] = APMObject(APMValue::initWithInt64(NANOGetInt64(param.get(), kParamInt)));
    } else if (NANOHasField(param.get(), kParamDouble)) {
      parameters[*paramName] = APMObject(APMValue::initWithDouble(NANOGetDouble(param.get(), kParamDouble)));
    } else {
      APMLog(5, 15002,
             "Unknown event parameter type from converting an event proto into APMEvent instance. Event param name",
             APMParameterNameForLog(*paramName));
    }
  }
  if (!origin) return nullptr;
  return initWithOrigin(*origin, false, name, timestamp, previous, parameters);
}

bool APMIsErrorEvent(const APMEvent& event) { return APMIsErrorEventName(event.name()); }

bool APMIsSubscriptionEvent(const APMEvent& event) {
  const std::string& name = event.name();
  if (name == "_assc" || name == "_assr") return true;
  return name == "_iap" && flag(event.parameters(), "subscription");
}

bool APMIsPurchaseEvent(const APMEvent& event) {
  const std::string& name = event.name();
  return event.origin() == "auto" && (name == "_iap" || name == "_iapx" || name == "_assr" || name == "_assc");
}

std::size_t APMArrayParameterItemCount(const APMEvent& event) {
  std::size_t count = 0;
  for (const auto& [name, object] : event.parameters()) {
    const APMValuePtr* value = object.apmValue();
    if (value && *value && (*value)->isArray()) count += (*value)->arrayValue()->size();
  }
  return count;
}


const APMValue* APMEventParameterValue(const APMEvent& event, std::string_view name) {
  const auto it = event.parameters().find(name);
  if (it == event.parameters().end()) return nullptr;
  const APMValuePtr* value = it->second.apmValue();
  return value && *value ? value->get() : nullptr;
}
