#include "sdk/analytics/storage/apm_event_params.h"

#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/messages/nano_accessors.h"

std::int32_t APMFieldIndex(const NANOMessageBase& message, std::uint32_t tag) {
  return message.messageSchema().indexOfTag(tag);
}

std::optional<APMDictionary> APMParametersFromEventParam(const APMPBEventParam* param, bool nested,
                                                         platform::Error* error) {
  if (!param) {
    APMSetError(error, 1, "Failed to parse empty event params data");
    return std::nullopt;
  }
  const auto field = [&](std::uint32_t tag) { return APMFieldIndex(*param, tag); };
  const std::string name = NANOGetString(param, field(1)).value_or("");
  if (!nested && name.empty()) {
    APMSetError(error, 1, "Event parameter name is empty");
    return std::nullopt;
  }
  APMDictionary result;
  if (NANOHasField(param, field(2))) {
    result[name] = APMObject(APMValue::initWithString(NANOGetString(param, field(2)).value_or("")));
  } else if (NANOHasField(param, field(3))) {
    result[name] = APMObject(APMValue::initWithInt64(NANOGetInt64(param, field(3))));
  } else if (NANOHasField(param, field(5))) {
    result[name] = APMObject(APMValue::initWithDouble(NANOGetDouble(param, field(5))));
  } else if (auto children = NANOGetArray<APMPBEventParam>(param, field(6)); children && !children->empty()) {
    if (nested) {
      for (const auto& child : *children) {
        if (auto converted = APMParametersFromEventParam(child.get(), true, nullptr)) {
          for (auto& [key, value] : *converted) result[key] = std::move(value);
        }
      }
    } else {
      APMArray items;
      for (const auto& child : *children) {
        if (auto converted = APMParametersFromEventParam(child.get(), true, nullptr)) {
          items.emplace_back(std::move(*converted));
        }
      }
      auto array = APMValue::initWithArray(APMObject(std::move(items)));
      if (!array) {
        APMSetError(error, 2, "Failed to parse invalid event params data");
        return std::nullopt;
      }
      result[name] = APMObject(std::move(array));
    }
  } else {
    APMSetError(error, 2, "Failed to parse invalid event params data");
    return std::nullopt;
  }
  return result;
}

std::shared_ptr<APMPBEvent> APMEventFromStoredValue(const platform::Value& value, platform::Error* error) {
  const platform::Data* data = value.ifData();
  if (!data) {
    APMSetError(error, 2, "Failed to convert data to an event. Data must be a NSData instance");
    return nullptr;
  }
  auto event = APMPBEvent::initWithBuffer(*data);
  if (!event) {
    APMSetError(error, 2, "Failed to parse event from data");
    return nullptr;
  }
  return event;
}
