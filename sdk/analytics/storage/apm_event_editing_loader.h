// The seam between the measurement configuration and the event-editing interpreter above it. A
// parsed configuration hands its first event-editing program to the loader the interpreter
// installs; the loader makes an event-editing instance with the three native modules
// "internal.remoteConfig", "internal.appMetadata" and "internal.logger", runs the program's top
// level and answers the instance, or null with an error. The engine later runs events through
// the instance it gets back from `APMRemoteConfig::eventEditing()`.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class APMPBProgram;

// The interpreter's loaded program; the interpreter derives its own type from it.
class APMEventEditing {
 public:
  virtual ~APMEventEditing() = default;
};

// What the modules answer: a setting's value as a string by key (a cached number as its decimal
// string), and the app's metadata dictionary ("platform", "package_name", "vmp_version",
// "app_version" when known).
struct APMEventEditingSources {
  std::function<std::optional<std::string>(const std::string& key)> remoteConfigValue;
  std::function<platform::Value()> appMetadata;
};

using APMEventEditingLoader = std::function<std::shared_ptr<APMEventEditing>(
    const APMPBProgram& program, const APMEventEditingSources& sources, platform::Error* error)>;

// Safe from any thread; an empty loader removes it.
void APMSetEventEditingLoader(APMEventEditingLoader loader);
APMEventEditingLoader APMCurrentEventEditingLoader();
