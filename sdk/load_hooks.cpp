#include "sdk/load_hooks.h"

#include <mutex>
#include <vector>

namespace sdk {

namespace {

using LoadHook = void (*)();

// In load order. A library registers before any app is configured, so every app's component
// container sees it; the core itself needs no hook.
const std::vector<LoadHook>& loadHooks() {
  static const std::vector<LoadHook> hooks{};
  return hooks;
}

}  // namespace

void runLoadHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (LoadHook hook : loadHooks()) hook();
  });
}

}  // namespace sdk
