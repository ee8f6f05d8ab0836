// The interpreter's side of the configuration's event-editing seam: once installed, every parsed
// measurement configuration loads its first program into a fresh interpreter whose modules answer
// from the configuration's sources; the engine then edits events with the loaded instance.
#pragma once

#include <memory>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_event_editing.h"
#include "sdk/analytics/storage/apm_event_editing_loader.h"

class APMPBProgram;

// A loaded program as the configuration holds it.
class APMPLoadedEventEditing final : public APMEventEditing, public APMPEventEditing {};

class APMPEventEditingLoader {
 public:
  APMPEventEditingLoader() = delete;

  // Installs the loader (a load hook); the configuration logs success and failure.
  static void load();
  // A fresh interpreter with the program loaded; null with the program's error when it fails.
  static std::shared_ptr<APMEventEditing> loadProgram(const APMPBProgram& program,
                                                      const APMEventEditingSources& sources, platform::Error* error);
};
