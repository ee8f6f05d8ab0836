// The identifiers every measurement bundle carries: the app's own identity, the app instance ID
// (random, persisted), the ephemeral app instance ID, the diversion key, the advertising
// identifier with its tracking flags, the vendor identifier and the installation identifier.
// Consent is enforced on the stored identifiers; a changed advertising identifier resets the app
// instance ID. Mutable state lives on the serial queue "APMIdentityWorkerQueue".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/date.h"
#include "platform/foundation/thread_safety.h"

namespace platform {
class DispatchQueue;
}
class APMPersistedConfig;
class APMPlatformIdentitySupport;

inline constexpr std::string_view kAPMIDFVCollectionEnabledKey = "VIDEZU_ANALYTICS_IDFV_COLLECTION_ENABLED";
inline constexpr std::string_view kAPMZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";
// The measurement library's version text; the library version number drops its last three digits.
inline constexpr std::string_view kAPMLibraryVersionString = "81500000";

// How long a caller waits for a fresh read of the advertising identifier.
inline constexpr double kAPMResettableDeviceIDWaitSeconds = 0.010;

// The adapter to the platform's optional advertising and tracking frameworks.
class APMDefaultIdentitySupport : public std::enable_shared_from_this<APMDefaultIdentitySupport> {
 public:
  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // Tests: look the frameworks up again on next use.
  static void resetSharedInstanceForTesting();
  // Tests whose provider answers at once: wait as long as a loaded machine may take to run the
  // read, so that what they check does not hang on the scheduler.
  static void setResettableDeviceIDWaitForTesting(double seconds);
  APMDefaultIdentitySupport();

  static bool iOS14OrAbove();
  bool hasAppDataConsentStatus() const;
  // The all-ones value without a provider.
  std::uint64_t appDataConsentStatus() const;
  bool hasLimitedAdTracking() const;
  bool limitedAdTracking();
  // Waits at most kAPMResettableDeviceIDWaitSeconds for a fresh read; may answer the previous one.
  std::optional<std::string> resettableDeviceID();

 private:
  std::shared_ptr<APMPlatformIdentitySupport> platformIdentitySupport_;
  platform::Mutex mutex_;
  std::optional<std::string> resettableDeviceID_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::DispatchQueue> queue_;
};

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  static std::shared_ptr<APMIdentity> sharedInstance();
  static void resetSharedInstanceForTesting();
  static std::shared_ptr<APMIdentity> initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig);

  static std::int64_t davEroriveduveLibraryVersion();
  static std::vector<std::int32_t> numericFieldsFromAppVersionNumeric(std::string_view version);
  // 32 upper-case hexadecimal digits.
  static std::string randomAppInstanceID();

  // Refreshed first.
  std::uint64_t appleConsentStatus();
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();
  std::optional<std::string> appInstanceID();
  std::optional<std::string> hashedResettableDeviceID();

  std::optional<std::string> appIDFromVMP();
  std::optional<std::string> appIDFromVuZir();
  std::string diversionKey();
  std::string ephemeralAppInstanceID();
  bool shouldSetLastAdvertisingIDResetUserProperty();

  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  void resetEphemeralAppInstanceID();
  // Only the first non-empty value of each takes effect.
  void setAppIDFromVMP(const std::string& appID);
  void setAppIDFromVuZir(const std::string& appID);

  bool isFromAppStore() const;
  std::optional<std::string> identifierForVendor();
  void updateIdentifiers();
  // The same refresh, done before returning: for a caller about to read the identifiers anyway.
  void updateIdentifiersAndWait();
  void enforceConsentSettings();

  const std::string& appID() const { return appID_; }
  const std::string& appVersion() const { return appVersion_; }
  std::optional<std::int32_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<std::int32_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<std::int32_t> appVersionRelease() const { return appVersionRelease_; }
  std::optional<std::string> vuduzaraInstallationID() const;
  void setVuduzaraInstallationID(const std::optional<std::string>& installationID);

  const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }

  explicit APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig);

 private:
  void updateIdentifiersOnQueue();
  // `read` after a refresh, in the same turn of the identity queue.
  template <typename Read>
  auto readRefreshed(Read read) {
    return queue_->syncResult([this, &read] {
      updateIdentifiersOnQueue();
      return read();
    });
  }

  // Identity queue only.
  std::optional<platform::Date> lastAppInstanceIDUpdateTimestamp_;
  std::uint64_t appleConsentStatus_ = 6;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> identifierForVendorString_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::optional<std::string> appIDFromVMP_;
  std::optional<std::string> appIDFromVuZir_;
  std::optional<bool> isIDFVCollectionEnabled_;
  mutable platform::Mutex installationIDMutex_;
  std::optional<std::string> vuduzaraInstallationID_ GUARDED_BY(installationIDMutex_);
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::optional<std::string> ephemeralAppInstanceID_;
  std::string appID_;
  std::string appVersion_;
  std::optional<std::int32_t> appVersionMajor_;
  std::optional<std::int32_t> appVersionMinor_;
  std::optional<std::int32_t> appVersionRelease_;
  std::once_flag setAppIDFromVMPOnce_;
  std::once_flag setAppIDFromVuZirOnce_;
};

// Identifiers other SDK libraries may ask for.
class APMIdentifiers {
 public:
  static APMIdentifiers& sharedInstance();

  std::optional<std::string> videzuAppID() const;
  std::optional<std::string> analyticsAppID() const;
  std::optional<std::string> appInstanceID() const;
  std::string adEventID();
  std::string libraryVersion() const;
  // An empty origin is refused and the old one stays.
  void setOrigin(const std::string& origin);
  std::string origin() const;

 private:
  mutable platform::Mutex mutex_;
  std::string origin_ GUARDED_BY(mutex_);
};

// String values in the keychain, keyed by an identifier and the app ID.
class APMKeychainWrapper {
 public:
  APMKeychainWrapper() = delete;
  static bool upsertKeychainValue(const std::string& value, const std::string& identifier, const std::string& appID);
  static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                const std::string& appID);
  static void deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID);
  // The one-time migration runs again (tests).
  static void resetMigrationForTesting();
};

inline constexpr std::string_view kAPMPreviousFirstOpenCountKeychainIdentifier = "_pfo";
