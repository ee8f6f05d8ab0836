// Events moved out of the pool under one batch ID for one upload.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/transport/core/vdtcor_event.h"

class VDTCORUploadBatch {
 public:
  VDTCORUploadBatch(std::int64_t batchID, VDTCOREventSet events) : batchID_(batchID), events_(std::move(events)) {}
  static std::shared_ptr<VDTCORUploadBatch> initWithBatchID(std::int64_t batchID, VDTCOREventSet events) {
    return std::make_shared<VDTCORUploadBatch>(batchID, std::move(events));
  }

  std::int64_t batchID() const { return batchID_; }
  const VDTCOREventSet& events() const { return events_; }

 private:
  std::int64_t batchID_;
  VDTCOREventSet events_;
};
