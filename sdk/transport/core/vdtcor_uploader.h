// The uploader of a target, as the upload coordinator and the registrar see it, and the network
// conditions handed to it with every request.
#pragma once

#include <cstdint>

#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_lifecycle_protocol.h"

// A bit set: exactly one of the first three, plus the forced-upload bit for forced uploads.
using VDTCORUploadConditions = std::int64_t;
inline constexpr VDTCORUploadConditions kVDTCORUploadConditionNoNetwork = 1;
inline constexpr VDTCORUploadConditions kVDTCORUploadConditionCellular = 2;
inline constexpr VDTCORUploadConditions kVDTCORUploadConditionWifi = 4;
inline constexpr VDTCORUploadConditions kVDTCORUploadConditionForced = 16;

class VDTCORUploader : public VDTCORLifecycleProtocol {
 public:
  // Called on the coordinator's queue; must not block it.
  virtual void uploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions) = 0;
};
