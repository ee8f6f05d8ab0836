// The analytics engine's preferences store: a typed key-value store over one preferences suite (or
// the app's own preferences). Two backings exist, chosen once per process by the Info.plist switch
// "UseCFPreferencesLibrary" (absent: the preferences library): the preferences-library functions
// addressing the suite's domain, or the user-defaults object of the suite. Both reach the same
// platform suite here; they differ in how they clear, remove and synchronise.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sdk/analytics/storage/apm_config_store.h"
#include "platform/foundation/thread_safety.h"

namespace platform {
class UserDefaults;
}

inline constexpr std::string_view kAPMUseCFPreferencesLibraryKey = "UseCFPreferencesLibrary";

class APMUserDefaults : public APMConfigStore {
 public:
  static bool userPreferenceEnabled();
  static std::shared_ptr<APMUserDefaults> standardUserDefaults();

  APMUserDefaults() : APMUserDefaults(std::string()) {}
  explicit APMUserDefaults(std::string suiteName);

  const std::string& suiteName() const { return suiteName_; }
  bool useCFPreferencesLibrary() const;
  void setUseCFPreferencesLibrary(bool use);
  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  platform::Value objectForKey(std::string_view key) override;
  void setObject(const platform::Value& value, std::string_view key) override;
  void removeObjectForKey(std::string_view key) override;
  void clearAllData() override;
  void synchronize() override;

  // The Info.plist switch is read once per process; tests start over with this.
  static void resetUserPreferenceEnabledForTesting();

 private:
  // The domain the preferences-library path addresses (the suite, or the app's own).
  std::shared_ptr<platform::UserDefaults> appDomain() const;
  std::shared_ptr<platform::UserDefaults> userDefaultsObject() const;

  const std::string suiteName_;
  mutable platform::Mutex mutex_;  // backing choice, user-defaults object, exclusion flag
  bool useCFPreferencesLibrary_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::UserDefaults> userDefaults_ GUARDED_BY(mutex_);
  bool isPreferenceFileExcluded_ GUARDED_BY(mutex_) = false;
};

// The engine's settings-store switch that picks the persisted configuration's backing at the next
// launch. It lives in the facade's settings suite "APMAnalyticsSuiteName"; the facade reads and
// writes it through these two functions.
inline constexpr std::string_view kAPMAnalyticsSuiteName = "APMAnalyticsSuiteName";
inline constexpr std::string_view kAPMPersistentConfigInApplicationSupportEnabledKey =
    "persistent_config_in_application_support_enabled";
bool APMAnalyticsPersistentConfigInApplicationSupportEnabled();
void APMAnalyticsSetPersistentConfigInApplicationSupportEnabled(bool enabled);
