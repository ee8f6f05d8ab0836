#include "sdk/analytics/engine/apm_info_plist_file_util.h"

#include <cerrno>
#include <cstring>

#include "platform/foundation/bundle.h"
#include "platform/foundation/calendar.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/system_info.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "platform/foundation/thread_safety.h"

namespace {

struct EngineBundle {
  platform::Mutex mutex;
  std::optional<std::filesystem::path> path GUARDED_BY(mutex);
};

EngineBundle& engineBundle() {
  // Never destroyed: a worker may still look the bundle up while the process exits.
  static EngineBundle* const bundle = new EngineBundle;
  return *bundle;
}

}  // namespace

void APMInfoPlistFileUtil::setEngineBundlePath(const std::optional<std::filesystem::path>& path) {
  EngineBundle& engine = engineBundle();
  platform::MutexLock lock(engine.mutex);
  engine.path = path;
}

std::optional<std::string> APMInfoPlistFileUtil::videzuServiceInfoPlistPath() {
  if (auto path = platform::Bundle::main()->pathForResource("VidezuService-Info", "plist")) return path->string();
  std::optional<std::filesystem::path> enginePath;
  {
    EngineBundle& engine = engineBundle();
    platform::MutexLock lock(engine.mutex);
    enginePath = engine.path;
  }
  if (!enginePath) return std::nullopt;
  const auto bundle = platform::Bundle::at(*enginePath);
  if (!bundle) return std::nullopt;
  if (auto path = bundle->pathForResource("VidezuService-Info", "plist")) return path->string();
  return std::nullopt;
}

std::optional<platform::Value::Dictionary> APMInfoPlistFileUtil::dictionaryFromVidezuServiceInfoPlist() {
  const auto path = videzuServiceInfoPlistPath();
  if (!path) return std::nullopt;
  const auto bytes = platform::FileManager::defaultManager().contentsAtPath(*path);
  if (!bytes) return std::nullopt;
  auto value = platform::PropertyList::read(*bytes);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->ifDictionary();
}

APMEnvironmentInfo& APMEnvironmentInfo::sharedInstance() {
  // Never destroyed: a worker may still read the environment while the process exits.
  static APMEnvironmentInfo* const instance = new APMEnvironmentInfo;
  return *instance;
}

std::string APMEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    deviceModel_ = APMAEU::deviceModel();
    if (deviceModel_.empty()) APMLog(2, 14000, "Failed to get device model", std::string(std::strerror(errno)));
  });
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const { return VULAppEnvironmentUtil::systemVersion(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  const auto languages = platform::SystemInfo::preferredLanguages();
  if (languages.empty()) {
    APMLog(2, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  return platform::strings::lowercase(languages.front());
}

std::int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  return static_cast<std::int32_t>(platform::Calendar::secondsFromGMT(platform::Clock::current().now()) / 60);
}
