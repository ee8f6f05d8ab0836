// One diagnostics record as the event transport carries it. The record is nanopb's: its byte
// fields are malloc'd arrays that belong to the log and are released with it.
#pragma once

#include <optional>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/core/diagnostics/core_diagnostics.pb.h"
#include "sdk/transport/core/vdtcor_event.h"

// A malloc'd copy of the text for a bytes field; null for text nanopb cannot hold (over 65,535
// bytes), which leaves the field out.
pb_bytes_array_t* VDZDiagnosticsEncodeString(std::string_view text);

class VDZCoreDiagnosticsLog final : public VDTCOREventDataObject {
 public:
  // Takes over the record's byte arrays.
  explicit VDZCoreDiagnosticsLog(const VDZDiagnosticsRecord& config);
  ~VDZCoreDiagnosticsLog() override;
  VDZCoreDiagnosticsLog(const VDZCoreDiagnosticsLog&) = delete;
  VDZCoreDiagnosticsLog& operator=(const VDZCoreDiagnosticsLog&) = delete;

  const VDZDiagnosticsRecord& config() const { return config_; }
  // Releases the record held until now and takes over the new one's byte arrays.
  void setConfig(const VDZDiagnosticsRecord& config);

  // The encoded record; after an encoding failure (logged) only the bytes written.
  std::optional<platform::Data> transportBytes() const override;

 private:
  VDZDiagnosticsRecord config_;
};
