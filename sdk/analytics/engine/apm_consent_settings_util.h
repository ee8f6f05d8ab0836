// The process-wide consent state of the analytics engine: ad storage and analytics storage
// granted or denied, and the numeric source that set them (lower numbers win). State lives behind
// one serial queue: writers are asynchronous, readers synchronous, so a read after a write from
// the same thread sees it. Persistence belongs to the facade.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
}

inline constexpr std::string_view kAPMConsentAdStorage = "ad_storage";
inline constexpr std::string_view kAPMConsentAnalyticsStorage = "analytics_storage";
inline constexpr std::string_view kAPMConsentGranted = "granted";
inline constexpr std::string_view kAPMConsentDenied = "denied";
inline constexpr std::string_view kAPMDefaultAllowAdStorageKey = "VIDEZU_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
inline constexpr std::string_view kAPMDefaultAllowAnalyticsStorageKey =
    "VIDEZU_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";

// Consent sources; a smaller number has the higher priority.
inline constexpr std::int64_t kAPMConsentSourceDefault = 10;
inline constexpr std::int64_t kAPMConsentSourceInfoPlist = 20;
inline constexpr std::int64_t kAPMConsentSourceAPI = 30;
inline constexpr std::int64_t kAPMConsentSourceAPIStart = 40;
inline constexpr std::int64_t kAPMConsentSourceNone = 100;

class APMConsentSettingsUtil {
 public:
  using Settings = platform::Value::Dictionary;

  APMConsentSettingsUtil() = delete;

  static std::shared_ptr<platform::DispatchQueue> serialQueue();
  static std::optional<Settings> consentSettings();
  static std::int64_t consentSource();
  static void setConsentSource(std::int64_t source);
  // Nothing also makes the source "none" again.
  static void setConsentSettings(const std::optional<Settings>& settings);
  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  static Settings consentSettingsFromDictionary(const platform::Value::Dictionary& dictionary);
  static Settings consentSettingsFromPlist();
  // `previous` may be any object; only nothing or a dictionary can show a withdrawal.
  static bool didWithdrawPreviousConsent(const platform::Value& previous);
  static bool isConsentSourceHigherPriority(std::int64_t source);
  static void updateSettings(const Settings& settings);
  static std::optional<std::string> consentSignals();
  static std::string description();

  // Tests start from "no settings, no source".
  static void resetForTesting();
};
