#include "sdk/analytics/storage/apm_event_editing_loader.h"

#include "platform/foundation/thread_safety.h"

namespace {

// Never destroyed: a configuration may still be parsed on a worker while the process exits.
platform::ExitSafeValue<APMEventEditingLoader>& installed() {
  static auto* const s = new platform::ExitSafeValue<APMEventEditingLoader>;
  return *s;
}

}  // namespace

void APMSetEventEditingLoader(APMEventEditingLoader loader) { installed().set(std::move(loader)); }

APMEventEditingLoader APMCurrentEventEditingLoader() { return installed().get(); }
