#include "sdk/analytics/common/apm_raw_event_data.h"

#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/messages/apmpb_messages.h"

std::shared_ptr<const APMRawEventData> APMRawEventData::initWithRawEvent(std::shared_ptr<APMPBEvent> rawEvent,
                                                                         std::int64_t rowID,
                                                                         std::int64_t metadataFingerprint) {
  if (!rawEvent) {
    APMLog(4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    APMLog(4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID", static_cast<long long>(rowID));
    return nullptr;
  }
  return std::make_shared<const APMRawEventData>(std::move(rawEvent), rowID, metadataFingerprint);
}
