// A step a transport applies to each of its events before storage: it returns the event to store
// (changed or not), or null to drop it.
#pragma once

#include <memory>

class VDTCOREvent;

class VDTCOREventTransformer {
 public:
  virtual ~VDTCOREventTransformer() = default;
  virtual std::shared_ptr<VDTCOREvent> transformVDTEvent(const std::shared_ptr<VDTCOREvent>& event) = 0;
};
