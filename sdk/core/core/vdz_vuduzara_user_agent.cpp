#include "sdk/core/core/vdz_vuduzara_user_agent.h"

#include <algorithm>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "platform/foundation/thread_safety.h"

VDZVuduzaraUserAgent::VDZVuduzaraUserAgent() = default;

VDZVuduzaraUserAgent::Components VDZVuduzaraUserAgent::environmentComponents() {
  Components components;
  const auto bundle = platform::Bundle::main();
  auto addInfo = [&](std::string key, std::string_view infoKey) {
    const platform::Value value = bundle->objectForInfoDictionaryKey(infoKey);
    if (const std::string* text = value.ifString()) components.emplace(std::move(key), *text);
  };
  components.emplace("apple-platform", VULAppEnvironmentUtil::applePlatform());
  addInfo("apple-sdk", "DTSDKBuild");
  components.emplace("appstore", VULAppEnvironmentUtil::isFromAppStore() ? "true" : "false");
  components.emplace("deploy", VULAppEnvironmentUtil::deploymentType());
  // A machine whose kernel does not name itself reports no device rather than an empty one.
  if (auto model = VULAppEnvironmentUtil::deviceModel()) components.emplace("device", *model);
  components.emplace("os-version", VULAppEnvironmentUtil::systemVersion());
  addInfo("xcode", "DTXcodeBuild");
  return components;
}

const VDZVuduzaraUserAgent::Components& VDZVuduzaraUserAgent::cachedEnvironmentComponents() {
  if (!environmentComponents_) environmentComponents_ = environmentComponents();
  return *environmentComponents_;
}

std::string VDZVuduzaraUserAgent::vuduzaraUserAgent() {
  platform::MutexLock lock(mutex_);
  if (userAgent_) return *userAgent_;

  Components all = valuesByComponent_;
  for (const auto& [key, value] : cachedEnvironmentComponents()) all[key] = value;

  std::vector<std::string> entries;
  entries.reserve(all.size());
  for (const auto& [name, value] : all) entries.push_back(platform::format("%@/%@", name, value));
  // Stable, so entries equal but for case keep the map's order and the string never flickers.
  std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return platform::strings::localizedCaseInsensitiveCompare(a, b) < 0;
  });

  std::string joined;
  for (const auto& entry : entries) {
    if (!joined.empty()) joined += ' ';
    joined += entry;
  }
  userAgent_ = joined;
  return joined;
}

void VDZVuduzaraUserAgent::setValue(std::string_view value, std::string_view component) {
  platform::MutexLock lock(mutex_);
  valuesByComponent_[std::string(component)] = std::string(value);
  userAgent_.reset();
}

void VDZVuduzaraUserAgent::reset() {
  // Outside the lock: it reads the bundle and the environment.
  Components fresh = environmentComponents();
  platform::MutexLock lock(mutex_);
  valuesByComponent_ = std::move(fresh);
  userAgent_.reset();
}

VDZVuduzaraUserAgent::Components VDZVuduzaraUserAgent::valuesByComponent() const {
  platform::MutexLock lock(mutex_);
  return valuesByComponent_;
}
