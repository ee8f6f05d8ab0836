// One stored raw event: its event message, its row in the raw-events table and the fingerprint
// of the metadata row it belongs to. Immutable.
#pragma once

#include <cstdint>
#include <memory>

class APMPBEvent;

class APMRawEventData {
 public:
  // Nothing (logged) for a missing event or a negative row identifier.
  static std::shared_ptr<const APMRawEventData> initWithRawEvent(std::shared_ptr<APMPBEvent> rawEvent,
                                                                 std::int64_t rowID, std::int64_t metadataFingerprint);

  const std::shared_ptr<APMPBEvent>& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

  APMRawEventData(std::shared_ptr<APMPBEvent> rawEvent, std::int64_t rowID, std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

 private:
  std::shared_ptr<APMPBEvent> rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};
