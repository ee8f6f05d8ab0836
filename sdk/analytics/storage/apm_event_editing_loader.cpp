#include "sdk/analytics/storage/apm_event_editing_loader.h"

#include "platform/foundation/thread_safety.h"

namespace {

platform::Mutex gMutex;
APMEventEditingLoader gLoader GUARDED_BY(gMutex);

}  // namespace

void APMSetEventEditingLoader(APMEventEditingLoader loader) {
  platform::MutexLock lock(gMutex);
  gLoader = std::move(loader);
}

APMEventEditingLoader APMCurrentEventEditingLoader() {
  platform::MutexLock lock(gMutex);
  return gLoader;
}
