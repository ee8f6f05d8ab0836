#include "sdk/transport/cct/vdtcct_event_support.h"

#include <charconv>
#include <cmath>

#include "platform/foundation/data_encoding.h"
#include "platform/foundation/json.h"
#include "sdk/transport/cct/vdtcct_messages.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_metrics.h"

namespace VDTCCTSupport {

namespace {

using Dictionary = platform::Value::Dictionary;

// The custom bytes as a JSON object: an empty object without custom bytes, none (after logging
// `failure`) when they are not a JSON object.
std::optional<Dictionary> readObject(const VDTCOREvent& event, std::string_view failure) {
  const auto& bytes = event.customBytes();
  if (!bytes) return Dictionary{};
  platform::Error error;
  auto value = platform::JSON::parse(*bytes, &error);
  if (!value || !value->isDictionary()) {
    VDTCORLogDebug(failure, value ? std::string("the custom bytes are not a JSON object") : error.description());
    return std::nullopt;
  }
  return *value->ifDictionary();
}

// False when the object cannot be serialised; the custom bytes are then cleared.
bool writeObject(VDTCOREvent& event, Dictionary object, std::string_view failure) {
  platform::Error error;
  auto text = platform::JSON::serialize(platform::Value(std::move(object)), false, &error);
  if (!text) {
    event.setCustomBytes(std::nullopt);
    VDTCORLogDebug(failure, error.description());
    return false;
  }
  event.setCustomBytes(platform::Data(text->begin(), text->end()));
  return true;
}

const platform::Value* find(const Dictionary& object, std::string_view key) {
  auto it = object.find(std::string(key));
  return it == object.end() ? nullptr : &it->second;
}

}  // namespace

void setNeedsNetworkConnectionInfoPopulated(VDTCOREvent& event, bool needed) {
  if (needed) {
    auto object = readObject(event, "Error when setting an even'ts event_code: %@");
    if (!object) return;
    (*object)[std::string(kVDTCCTNeedsNetworkConnectionInfo)] = true;
    writeObject(event, std::move(*object), "Error when setting the event for needs_network_connection_info: %@");
    return;
  }
  if (!event.customBytes()) return;
  auto object = readObject(event, "Error when setting an event's event_code: %@");
  if (!object) return;
  // Keeps only the event code; without one the bytes stay as they are.
  const platform::Value* code = find(*object, kVDTCCTEventCodeInfo);
  if (!code) return;
  Dictionary kept;
  kept[std::string(kVDTCCTEventCodeInfo)] = *code;
  writeObject(event, std::move(kept), "Error when setting the event for needs_network_connection_info: %@");
}

bool needsNetworkConnectionInfoPopulated(const VDTCOREvent& event) {
  if (!event.customBytes()) return false;
  auto object = readObject(event, "Error when checking the event for needs_network_connection_info: %@");
  if (!object) return false;
  const platform::Value* flag = find(*object, kVDTCCTNeedsNetworkConnectionInfo);
  if (!flag) return false;
  return flag->boolValue();
}

void setNetworkConnectionInfoData(VDTCOREvent& event, const std::optional<platform::Data>& data) {
  if (!data) return;
  auto object = readObject(event, "Error when setting an even'ts event_code: %@");
  if (!object) return;
  (*object)[std::string(kVDTCCTNetworkConnectionInfo)] = platform::DataEncoding::base64Encode(*data);
  writeObject(event, std::move(*object), "Error when setting an event's network_connection_info: %@");
}

std::optional<platform::Data> networkConnectionInfoData(const VDTCOREvent& event) {
  if (!event.customBytes()) return std::nullopt;
  auto object = readObject(event, "Error when getting an event's network_connection_info: %@");
  if (!object) return std::nullopt;
  const platform::Value* value = find(*object, kVDTCCTNetworkConnectionInfo);
  if (!value) return std::nullopt;
  const std::string* text = value->ifString();
  if (!text) {
    VDTCORLogDebug("Error when getting an event's network_connection_info: %@", "the value is not text");
    return std::nullopt;
  }
  return platform::DataEncoding::base64Decode(*text);
}

void setEventCode(VDTCOREvent& event, std::optional<std::int64_t> code) {
  constexpr std::string_view kFailure = "Error when setting an event's event_code: %@";
  if (!code && !event.customBytes()) return;
  auto object = readObject(event, kFailure);
  if (!object) return;
  if (code) {
    (*object)[std::string(kVDTCCTEventCodeInfo)] = std::to_string(*code);
  } else {
    object->erase(std::string(kVDTCCTEventCodeInfo));
  }
  writeObject(event, std::move(*object), kFailure);
}

std::optional<std::int64_t> eventCode(const VDTCOREvent& event) {
  constexpr std::string_view kFailure = "Error when getting an event's event_code: %@";
  if (!event.customBytes()) return std::nullopt;
  auto object = readObject(event, kFailure);
  if (!object) return std::nullopt;
  const platform::Value* value = find(*object, kVDTCCTEventCodeInfo);
  if (!value) return std::nullopt;
  const std::string* text = value->ifString();
  if (!text) {
    VDTCORLogDebug(kFailure, "the value is not text");
    return std::nullopt;
  }
  // A decimal number, as a number formatter reads it; the integral part is the code.
  double number = 0;
  const char* begin = text->data();
  const char* end = begin + text->size();
  auto [last, ec] = std::from_chars(begin, end, number, std::chars_format::fixed);
  if (ec != std::errc() || last != end || !std::isfinite(number) || std::fabs(number) > 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(number);
}

std::shared_ptr<VDTCOREvent> eventWithMetrics(std::shared_ptr<VDTCORMetrics> metrics, VDTCORTarget target) {
  auto event = VDTCOREvent::initWithMappingID(kVDTCCTMetricsEventMappingID, target);
  if (event) event->setDataObject(std::make_shared<VDTCCTMetricsDataObject>(std::move(metrics)));
  return event;
}

}  // namespace VDTCCTSupport

std::optional<platform::Data> VDTCCTMetricsDataObject::transportBytes() const {
  if (!metrics_) return std::nullopt;
  return VDTCCTEncodeClientMetrics(*metrics_);
}
