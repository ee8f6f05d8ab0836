#include "sdk/analytics/storage/apm_user_defaults.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/user_defaults.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

platform::Mutex gSwitchMutex;
std::optional<bool> gUserPreferenceEnabled GUARDED_BY(gSwitchMutex);

std::shared_ptr<platform::UserDefaults> suiteOrStandard(const std::string& name) {
  return name.empty() ? platform::UserDefaults::standard() : platform::UserDefaults::suite(name);
}

}  // namespace

bool APMUserDefaults::userPreferenceEnabled() {
  platform::MutexLock lock(gSwitchMutex);
  if (!gUserPreferenceEnabled) {
    const Value value = platform::Bundle::main()->objectForInfoDictionaryKey(kAPMUseCFPreferencesLibraryKey);
    gUserPreferenceEnabled = value.isNumber() ? value.boolValue() : true;
  }
  return *gUserPreferenceEnabled;
}

void APMUserDefaults::resetUserPreferenceEnabledForTesting() {
  platform::MutexLock lock(gSwitchMutex);
  gUserPreferenceEnabled.reset();
}

std::shared_ptr<APMUserDefaults> APMUserDefaults::standardUserDefaults() {
  // Never destroyed: a worker may still read the defaults while the process exits.
  static const auto* const standard = [] {
    auto defaults = std::make_shared<APMUserDefaults>();
    defaults->setIsPreferenceFileExcluded(true);
    return new std::shared_ptr<APMUserDefaults>(std::move(defaults));
  }();
  return *standard;
}

APMUserDefaults::APMUserDefaults(std::string suiteName)
    : suiteName_(std::move(suiteName)), useCFPreferencesLibrary_(userPreferenceEnabled()) {
  if (!useCFPreferencesLibrary_) userDefaults_ = suiteOrStandard(suiteName_);
}

bool APMUserDefaults::useCFPreferencesLibrary() const {
  platform::MutexLock lock(mutex_);
  return useCFPreferencesLibrary_;
}

void APMUserDefaults::setUseCFPreferencesLibrary(bool use) {
  platform::DispatchQueue::global()->sync([&] {
    platform::MutexLock lock(mutex_);
    if (useCFPreferencesLibrary_ == use) return;
    useCFPreferencesLibrary_ = use;
    if (use) {
      userDefaults_.reset();
    } else if (!userDefaults_) {
      userDefaults_ = suiteOrStandard(suiteName_);
    }
  });
}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  platform::MutexLock lock(mutex_);
  return isPreferenceFileExcluded_;
}

void APMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  platform::MutexLock lock(mutex_);
  isPreferenceFileExcluded_ = excluded;
}

std::shared_ptr<platform::UserDefaults> APMUserDefaults::appDomain() const { return suiteOrStandard(suiteName_); }

std::shared_ptr<platform::UserDefaults> APMUserDefaults::userDefaultsObject() const {
  platform::MutexLock lock(mutex_);
  return useCFPreferencesLibrary_ ? nullptr : userDefaults_;
}

Value APMUserDefaults::objectForKey(std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS041001", "Cannot get object for invalid user default key.");
    return Value();
  }
  const auto defaults = userDefaultsObject();
  const auto domain = defaults ? defaults : appDomain();
  return domain ? domain->objectForKey(key) : Value();
}

void APMUserDefaults::setObject(const Value& value, std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS041002", "Cannot set object for invalid user default key.");
    return;
  }
  if (!value.isNull() && !APMIsValidConfigValue(value)) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS041003",
                        "Cannot set invalid object to user defaults. Must be a string or number or an array. Value %@",
                        value);
    return;
  }
  const auto defaults = userDefaultsObject();
  const auto domain = defaults ? defaults : appDomain();
  if (domain) domain->setObject(value, key);
}

void APMUserDefaults::removeObjectForKey(std::string_view key) {
  if (const auto defaults = userDefaultsObject()) {
    defaults->removeObjectForKey(key);
  } else {
    setObject(Value(), key);
  }
}

void APMUserDefaults::clearAllData() {
  if (const auto defaults = userDefaultsObject()) {
    defaults->removePersistentDomain();
    return;
  }
  const auto domain = appDomain();
  if (!domain) return;
  for (const auto& [key, value] : domain->dictionaryRepresentation()) domain->removeObjectForKey(key);
}

void APMUserDefaults::synchronize() {
  if (const auto defaults = userDefaultsObject()) {
    defaults->synchronize();
  } else if (const auto domain = appDomain(); !domain || !domain->synchronize()) {
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS041004", "Cannot synchronize user defaults to disk");
  }
  const std::string path = APMPreferencesPlistPath(suiteName_);
  platform::MutexLock lock(mutex_);
  if (isPreferenceFileExcluded_ || path.empty() || !platform::FileManager::defaultManager().fileExists(path)) return;
  platform::Error error;
  if (APMExcludePathFromBackup(path, &error)) {
    isPreferenceFileExcluded_ = true;
  } else {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS041000",
                        "Failed to exclude preferences file from backup. Error code %@", error.description());
  }
}

bool APMAnalyticsPersistentConfigInApplicationSupportEnabled() {
  APMUserDefaults settings{std::string(kAPMAnalyticsSuiteName)};
  return settings.boolForKey(kAPMPersistentConfigInApplicationSupportEnabledKey);
}

void APMAnalyticsSetPersistentConfigInApplicationSupportEnabled(bool enabled) {
  APMUserDefaults settings{std::string(kAPMAnalyticsSuiteName)};
  settings.setBool(enabled, kAPMPersistentConfigInApplicationSupportEnabledKey);
}
