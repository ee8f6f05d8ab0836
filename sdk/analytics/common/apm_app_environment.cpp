#include "sdk/analytics/common/apm_app_environment.h"

#include <any>

#include "platform/foundation/bundle.h"
#include "platform/runtime/class.h"
#include "platform/ui/application.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "platform/foundation/thread_safety.h"

namespace {
struct StoreCache {
  platform::Mutex mutex;
  std::optional<bool> fromStore GUARDED_BY(mutex);
};
StoreCache& storeCache() {
  static StoreCache* cache = new StoreCache;
  return *cache;
}
}  // namespace

std::optional<std::filesystem::path> APMAEU::appStoreRURL() {
  const auto bundle = platform::Bundle::main();
  if (!bundle) return std::nullopt;
  // The platform keeps the receipt beside the bundle's code; a sandbox build's has its own name.
  const auto folder = bundle->bundlePath() / "StoreKit";
  std::error_code ec;
  if (std::filesystem::exists(folder / "sandboxReceipt", ec)) return folder / "sandboxReceipt";
  return folder / "receipt";
}

bool APMAEU::isASRS() {
  const auto url = appStoreRURL();
  return url && url->filename() == "sandboxReceipt";
}

bool APMAEU::isNOD() {
  const std::string model = deviceModel();
  return model == "x86_64" || model == "i386";
}

std::string APMAEU::deviceModel() { return VULAppEnvironmentUtil::deviceModel().value_or(""); }

std::string APMAEU::systemVersion() { return VULAppEnvironmentUtil::systemVersion(); }

bool APMAEU::isAEX() {
  const auto bundle = platform::Bundle::main();
  return bundle && bundle->bundlePath().string().ends_with(".appex");
}

std::shared_ptr<platform::Application> APMAEU::sharedApplication() {
  if (isAEX()) return nullptr;
  return platform::Application::shared();
}

bool APMAEU::isFAS() {
  auto& cache = storeCache();
  platform::MutexLock lock(cache.mutex);
  if (!cache.fromStore) {
    cache.fromStore = !isNOD() && !isASRS() && VULAppEnvironmentUtil::isFromAppStore();
  }
  return *cache.fromStore;
}

void APMAEU::resetForTesting() {
  auto& cache = storeCache();
  platform::MutexLock lock(cache.mutex);
  cache.fromStore.reset();
}

bool APMBackwardCompatibilityUtil::disableGMRMeasurement() {
  const auto cls = platform::runtime::classNamed("GMRMeasurement");
  if (!cls || !cls->respondsToSelector("sharedInstance") || !cls->respondsToSelector("setIsEnabled:")) return false;
  const std::any instance = cls->perform("sharedInstance");
  if (!instance.has_value()) return false;
  cls->perform("setIsEnabled:", {instance, std::any(false)});
  return true;
}
