// The unit every client of the transport hands over: one payload for one backend target, tagged
// with the client's log source (mapping ID), a quality-of-service tier, an expiry date and the
// clock snapshot taken when it is sent. Stored one file each as a keyed archive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/value.h"

class VDTCORClock;

// A backend target; valid targets are 1 or greater.
using VDTCORTarget = std::int64_t;
inline constexpr VDTCORTarget kVDTCORTargetTest = 999;
inline constexpr VDTCORTarget kVDTCORTargetCCT = 1000;
inline constexpr VDTCORTarget kVDTCORTargetFLL = 1001;
inline constexpr VDTCORTarget kVDTCORTargetCSH = 1002;
inline constexpr VDTCORTarget kVDTCORTargetINT = 1003;

// Quality-of-service tiers run from 0 to 5; these are the ones the transport itself acts on.
inline constexpr std::int64_t kVDTCORTierTelemetry = 1;
inline constexpr std::int64_t kVDTCORTierDefault = 3;
inline constexpr std::int64_t kVDTCORTierForcesUpload = 4;  // storing one uploads its target at once

inline constexpr double kVDTCOREventLifetimeSeconds = 604800;  // 7 days

// The largest event the transport keeps, measured as its archive on disk: the storage refuses to
// write a larger one and an upload reads no larger event file, so whatever is stored can be sent.
inline constexpr std::uint64_t kVDTCORMaxEventArchiveBytes = std::uint64_t{8} << 20;
// What an archive holds besides the payload (IDs, tier, expiry, clock snapshot, custom bytes and
// the archive's own structure) takes less than this for any event a client of this system sends.
inline constexpr std::uint64_t kVDTCOREventArchiveFieldsBytes = std::uint64_t{64} << 10;
// The payload a producer may hand over and be sure the event is kept.
inline constexpr std::uint64_t kVDTCORMaxEventPayloadBytes = kVDTCORMaxEventArchiveBytes - kVDTCOREventArchiveFieldsBytes;

inline constexpr std::string_view kVDTCOREventClassName = "VDTCOREvent";
inline constexpr std::string_view kVDTCOREventEventIDKey = "VDTCOREventEventIDKey";
inline constexpr std::string_view kVDTCOREventMappingIDKey = "VDTCOREventMappingIDKey";
inline constexpr std::string_view kVDTCOREventTargetKey = "VDTCOREventTargetKey";
inline constexpr std::string_view kVDTCOREventQoSTierKey = "VDTCOREventQoSTierKey";
inline constexpr std::string_view kVDTCOREventClockSnapshotKey = "VDTCOREventClockSnapshotKey";
inline constexpr std::string_view kVDTCOREventCustomDataKey = "VDTCOREventCustomDataKey";
inline constexpr std::string_view kVDTCOREventExpirationDateKey = "VDTCOREventExpirationDateKey";
inline constexpr std::string_view kVDTCOREventSerializedDataObjectBytesKey = "VDTCOREventSerializedDataObjectBytesKey";

// The payload of an event.
class VDTCOREventDataObject {
 public:
  virtual ~VDTCOREventDataObject() = default;
  // The payload bytes; none when the object has nothing to send.
  virtual std::optional<platform::Data> transportBytes() const = 0;
};

class VDTCOREvent final : public platform::Codable {
  struct Token {};

 public:
  explicit VDTCOREvent(Token);

  // Null, after a failed assertion, for an empty mapping ID or a target below 1.
  static std::shared_ptr<VDTCOREvent> initWithMappingID(std::string_view mappingID, VDTCORTarget target);
  // 32 hexadecimal characters: a fresh UUID without its hyphens.
  static std::string nextEventID();

  // A new event of the same mapping ID and target (so with its own, fresh expiration date) that
  // takes over the event ID, data object, tier, clock snapshot, custom bytes, payload bytes and
  // the once-per-ID flag.
  // The payload is shared, not copied: a payload may be tens of megabytes, and a send copies
  // every event. Setting the bytes of either event later replaces them for that event alone.
  std::shared_ptr<VDTCOREvent> copy() const;

  const std::string& eventID() const { return eventID_; }
  void setEventID(std::string eventID) { eventID_ = std::move(eventID); }
  const std::string& mappingID() const { return mappingID_; }
  void setMappingID(std::string mappingID) { mappingID_ = std::move(mappingID); }
  VDTCORTarget target() const { return target_; }
  void setTarget(VDTCORTarget target) { target_ = target; }
  const std::shared_ptr<VDTCOREventDataObject>& dataObject() const { return dataObject_; }
  // Stores the object and always recomputes the payload bytes from it.
  void setDataObject(std::shared_ptr<VDTCOREventDataObject> dataObject);
  const std::optional<platform::Data>& serializedDataObjectBytes() const { return *serializedDataObjectBytes_; }
  void setSerializedDataObjectBytes(std::optional<platform::Data> bytes);
  std::int64_t qosTier() const { return qosTier_; }
  void setQosTier(std::int64_t tier) { qosTier_ = tier; }
  const std::shared_ptr<VDTCORClock>& clockSnapshot() const { return clockSnapshot_; }
  void setClockSnapshot(std::shared_ptr<VDTCORClock> clock) { clockSnapshot_ = std::move(clock); }
  platform::Date expirationDate() const { return expirationDate_; }
  void setExpirationDate(platform::Date date) { expirationDate_ = date; }
  const std::optional<platform::Data>& customBytes() const { return customBytes_; }
  void setCustomBytes(std::optional<platform::Data> bytes) { customBytes_ = std::move(bytes); }
  // Set by a producer whose event ID names what it hands over (the same thing always gets the
  // same ID), so that a hand-off cut short and made again stores nothing twice: the storage keeps
  // one event of such an ID, whether pending, in a batch or delivered already. Not archived.
  bool storedOncePerID() const { return storedOncePerID_; }
  void setStoredOncePerID(bool once) { storedOncePerID_ = once; }

  // The hash mixes event ID, mapping ID, clock, payload bytes, target and tier. Equality asks for
  // all of those to be equal (not the hash alone), so distinct events never collapse into one.
  std::size_t hash() const;
  bool isEqual(const VDTCOREvent& other) const;
  friend bool operator==(const VDTCOREvent& a, const VDTCOREvent& b) { return a.isEqual(b); }
  std::string description() const;

  std::string className() const override { return std::string(kVDTCOREventClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // Null when the archive has no payload bytes; an archive without an event ID gets a fresh one.
  static std::shared_ptr<VDTCOREvent> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  // The checks and defaults of initWithMappingID, with the event ID given.
  static std::shared_ptr<VDTCOREvent> make(std::string_view mappingID, VDTCORTarget target, std::string eventID);

  std::string eventID_;
  std::string mappingID_;
  VDTCORTarget target_ = 0;
  std::shared_ptr<VDTCOREventDataObject> dataObject_;
  // Never null; immutable, so copies of the event share it.
  std::shared_ptr<const std::optional<platform::Data>> serializedDataObjectBytes_;
  std::int64_t qosTier_ = kVDTCORTierDefault;
  std::shared_ptr<VDTCORClock> clockSnapshot_;
  platform::Date expirationDate_;
  std::optional<platform::Data> customBytes_;
  bool storedOncePerID_ = false;
};

// A set of events, by the events' equality.
struct VDTCOREventPtrHash {
  std::size_t operator()(const std::shared_ptr<VDTCOREvent>& e) const { return e ? e->hash() : 0; }
};
struct VDTCOREventPtrEqual {
  bool operator()(const std::shared_ptr<VDTCOREvent>& a, const std::shared_ptr<VDTCOREvent>& b) const {
    return a == b || (a && b && a->isEqual(*b));
  }
};
using VDTCOREventSet = std::unordered_set<std::shared_ptr<VDTCOREvent>, VDTCOREventPtrHash, VDTCOREventPtrEqual>;
