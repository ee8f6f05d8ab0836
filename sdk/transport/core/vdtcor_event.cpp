#include "sdk/transport/core/vdtcor_event.h"

#include <algorithm>
#include <functional>

#include "platform/foundation/format.h"
#include "platform/foundation/uuid.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_console_logger.h"

namespace {

const std::shared_ptr<const std::optional<platform::Data>>& noBytes() {
  static const auto* none = new std::shared_ptr<const std::optional<platform::Data>>(
      std::make_shared<const std::optional<platform::Data>>());
  return *none;
}

std::size_t hashData(const std::optional<platform::Data>& data) {
  if (!data) return 0;
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

}  // namespace

VDTCOREvent::VDTCOREvent(Token) : serializedDataObjectBytes_(noBytes()) {}

std::shared_ptr<VDTCOREvent> VDTCOREvent::initWithMappingID(std::string_view mappingID, VDTCORTarget target) {
  return make(mappingID, target, {});
}

std::shared_ptr<VDTCOREvent> VDTCOREvent::make(std::string_view mappingID, VDTCORTarget target, std::string eventID) {
  VDTCORAssert(!mappingID.empty(), "Please give a valid mapping ID");
  VDTCORAssert(target > 0, "A target cannot be negative or 0");
  if (mappingID.empty() || target <= 0) return nullptr;
  auto event = std::make_shared<VDTCOREvent>(Token{});
  event->eventID_ = eventID.empty() ? nextEventID() : std::move(eventID);
  event->mappingID_ = std::string(mappingID);
  event->target_ = target;
  event->qosTier_ = kVDTCORTierDefault;
  event->expirationDate_ = platform::Date::now().addingTimeInterval(kVDTCOREventLifetimeSeconds);
  VDTCORLogDebug("Event %@ created. ID:%@ mappingID: %@ target:%ld", event.get(), event->eventID_, event->mappingID_,
                 target);
  return event;
}

std::string VDTCOREvent::nextEventID() {
  std::string id = platform::UUID().UUIDString();
  id.erase(std::remove(id.begin(), id.end(), '-'), id.end());
  return id;
}

std::shared_ptr<VDTCOREvent> VDTCOREvent::copy() const {
  // Made with this event's ID from the start: a fresh one would only be thrown away.
  auto copy = make(mappingID_, target_, eventID_);
  if (!copy) return nullptr;
  copy->dataObject_ = dataObject_;
  copy->serializedDataObjectBytes_ = serializedDataObjectBytes_;
  copy->qosTier_ = qosTier_;
  copy->clockSnapshot_ = clockSnapshot_;
  copy->customBytes_ = customBytes_;
  copy->storedOncePerID_ = storedOncePerID_;
  VDTCORLogDebug("Copying event %@ to event %@", this, copy.get());
  return copy;
}

void VDTCOREvent::setDataObject(std::shared_ptr<VDTCOREventDataObject> dataObject) {
  if (dataObject != dataObject_) dataObject_ = std::move(dataObject);
  setSerializedDataObjectBytes(dataObject_ ? dataObject_->transportBytes() : std::nullopt);
}

void VDTCOREvent::setSerializedDataObjectBytes(std::optional<platform::Data> bytes) {
  serializedDataObjectBytes_ = bytes ? std::make_shared<const std::optional<platform::Data>>(std::move(bytes))
                                     : noBytes();
}

std::size_t VDTCOREvent::hash() const {
  std::hash<std::string> hs;
  std::hash<std::int64_t> hi;
  return hs(eventID_) ^ hs(mappingID_) ^ (clockSnapshot_ ? clockSnapshot_->hash() : 0) ^
         hashData(*serializedDataObjectBytes_) ^ hi(target_) ^ hi(qosTier_);
}

bool VDTCOREvent::isEqual(const VDTCOREvent& other) const {
  if (this == &other) return true;
  const bool clocksEqual = clockSnapshot_ == other.clockSnapshot_ ||
                           (clockSnapshot_ && other.clockSnapshot_ && clockSnapshot_->isEqual(*other.clockSnapshot_));
  return eventID_ == other.eventID_ && mappingID_ == other.mappingID_ && target_ == other.target_ &&
         qosTier_ == other.qosTier_ && clocksEqual &&
         (serializedDataObjectBytes_ == other.serializedDataObjectBytes_ ||
          *serializedDataObjectBytes_ == *other.serializedDataObjectBytes_);
}

std::string VDTCOREvent::description() const {
  return platform::format("<VDTCOREvent eventID:%@ mappingID:%@ target:%ld qosTier:%ld>", eventID_, mappingID_, target_,
                          qosTier_);
}

void VDTCOREvent::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(platform::Value(eventID_), kVDTCOREventEventIDKey);
  coder.encodeObject(platform::Value(mappingID_), kVDTCOREventMappingIDKey);
  coder.encodeInteger(target_, kVDTCOREventTargetKey);
  coder.encodeInteger(qosTier_, kVDTCOREventQoSTierKey);
  coder.encodeObject(std::static_pointer_cast<const platform::Codable>(clockSnapshot_), kVDTCOREventClockSnapshotKey);
  coder.encodeObject(customBytes_ ? platform::Value(*customBytes_) : platform::Value(), kVDTCOREventCustomDataKey);
  coder.encodeObject(platform::Value(expirationDate_), kVDTCOREventExpirationDateKey);
  coder.encodeObject(*serializedDataObjectBytes_ ? platform::Value(**serializedDataObjectBytes_) : platform::Value(),
                     kVDTCOREventSerializedDataObjectBytesKey);
}

std::shared_ptr<VDTCOREvent> VDTCOREvent::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto event = std::make_shared<VDTCOREvent>(Token{});
  event->mappingID_ = coder.decodeStringForKey(kVDTCOREventMappingIDKey).value_or("");
  event->target_ = coder.decodeIntegerForKey(kVDTCOREventTargetKey);
  auto eventID = coder.decodeStringForKey(kVDTCOREventEventIDKey);
  event->eventID_ = eventID ? std::move(*eventID) : nextEventID();
  event->qosTier_ = coder.decodeIntegerForKey(kVDTCOREventQoSTierKey);
  event->clockSnapshot_ = coder.decodeObjectOfClass<VDTCORClock>(kVDTCORClockClassName, kVDTCOREventClockSnapshotKey);
  event->customBytes_ = coder.decodeDataForKey(kVDTCOREventCustomDataKey);
  event->expirationDate_ = coder.decodeDateForKey(kVDTCOREventExpirationDateKey).value_or(platform::Date());
  auto bytes = coder.decodeDataForKey(kVDTCOREventSerializedDataObjectBytesKey);
  if (!bytes) return nullptr;
  event->setSerializedDataObjectBytes(std::move(bytes));
  return event;
}
