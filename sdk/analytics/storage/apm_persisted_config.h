// The analytics engine's small key-value memory that survives restarts but does not belong in the
// database. It sits on one backing store: the preferences suite, or a property-list file in the
// measurement directory when the remote switch for Application Support storage was on at the
// last download; a change of that switch moves the data at the next launch. Reads and writes are
// serialised on a private queue; a burst of writes is flushed once, one second after its last.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
}
class APMConfigStore;
class APMUserDefaults;

inline constexpr std::string_view kAPMPersistedConfigSuiteName = "com.videzu.vmp.measurement";

class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
 public:
  // The engine's one instance (made once); nothing, logged, when it could not be made.
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  static std::shared_ptr<APMPersistedConfig> initWithSuiteName(std::string_view name);
  ~APMPersistedConfig();

  const std::string& name() const { return name_; }
  // The backing store; null when it could not be made (reads give defaults, writes are dropped).
  const std::shared_ptr<APMConfigStore>& userDefaults() const { return userDefaults_; }

  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVMP();
  void setAppIDFromVMP(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVuZir();
  void setAppIDFromVuZir(const std::optional<std::string>& value);
  std::optional<std::string> hashedResettableDeviceID();
  void setHashedResettableDeviceID(const std::optional<std::string>& value);
  std::optional<std::string> diversionKey();
  void setDiversionKey(const std::optional<std::string>& value);
  std::int64_t measurementEnabledState();
  void setMeasurementEnabledState(std::int64_t value);
  double lastDeleteStaleBundlesTimestamp();
  void setLastDeleteStaleBundlesTimestamp(double value);
  double lastBackoffTimestamp();
  void setLastBackoffTimestamp(double value);
  double lastSuccessfulUploadTimestamp();
  void setLastSuccessfulUploadTimestamp(double value);
  double lastFailedUploadTimestamp();
  void setLastFailedUploadTimestamp(double value);
  std::optional<std::string> appVersion();
  void setAppVersion(const std::optional<std::string>& value);
  std::optional<std::string> osVersion();
  void setOSVersion(const std::optional<std::string>& value);
  // Seconds in [0, 86400), drawn once per install on first read.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp();
  void setLastMonitorDataSampledTimestamp(double value);
  std::int64_t firstOpenTimestampMilliseconds();
  void setFirstOpenTimestampMilliseconds(std::int64_t value);
  // The stored object, unconverted.
  platform::Value configServerLastModifiedString();
  void setConfigServerLastModifiedString(const std::optional<std::string>& value);
  std::optional<std::string> configServerETag();
  void setConfigServerETag(const std::optional<std::string>& value);
  platform::Value loadTimestampValue();
  void setLoadTimestampValue(const platform::Value& value);
  platform::Value allowPersonalizedAds();
  void setAllowPersonalizedAds(const platform::Value& value);
  std::optional<std::string> vuduzaraFeatureRollouts();
  void setVuduzaraFeatureRollouts(const std::optional<std::string>& value);
  platform::Value deferredDeepLinkRetrievalComplete();
  void setDeferredDeepLinkRetrievalComplete(const platform::Value& value);
  std::int64_t deferredDeepLinkRetryCount();
  void setDeferredDeepLinkRetryCount(std::int64_t value);
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA();
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  double lastSessionActivityClockTime();
  void setLastSessionActivityClockTime(double value);
  std::int64_t sessionNumber();
  void setSessionNumber(std::int64_t value);
  std::optional<platform::Value::Dictionary> defaultEventParameters();
  void setDefaultEventParameters(const std::optional<platform::Value::Dictionary>& value);
  // Read and written straight on the store, on the caller's thread; numbers only.
  platform::Value searchAdCampaignValue();
  void setSearchAdCampaignValue(const platform::Value& value);
  double lastSearchAdLookUpTimestamp();
  void setLastSearchAdLookUpTimestamp(double value);
  std::int64_t searchAdRetryCount();
  void setSearchAdRetryCount(std::int64_t value);

  // Typed access (a key that is empty reads as NO, 0, 0.0 or nothing).
  bool boolForKey(std::string_view key);
  std::int64_t int64ForKey(std::string_view key);
  std::int64_t int64ForKey(std::string_view key, APMConfigStore* userDefault);
  double doubleForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<platform::Value::Dictionary> dictionaryForKey(std::string_view key);
  void setBool(bool value, std::string_view key);
  void setInt64(std::int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(const std::optional<std::string>& value, std::string_view key);
  void setDictionary(const std::optional<platform::Value::Dictionary>& value, std::string_view key);

  void clearValues();
  void synchronizeToDisk();

  bool shouldCheckConfigStoreMigrationFlag() const { return shouldCheckConfigStoreMigrationFlag_; }
  const std::shared_ptr<platform::DispatchQueue>& serialQueue() const { return serialQueue_; }

  APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store);

 private:
  platform::Value objectForKey(std::string_view key);
  void writeObject(const platform::Value& value, std::string_view key, bool scheduleFlush);
  void scheduleSynchronizeToDisk();    // on the serial queue
  void cancelScheduledSynchronize();   // on the serial queue
  void updateConfigStoreMigrationFlagIfNeeded();  // on the serial queue

  const std::string name_;
  std::shared_ptr<APMConfigStore> userDefaults_;
  std::shared_ptr<APMUserDefaults> standardDefaults_;
  std::atomic<bool> shouldCheckConfigStoreMigrationFlag_{true};
  std::shared_ptr<platform::DispatchQueue> serialQueue_;
  // The pending flush runs only while its generation is still the current one.
  std::shared_ptr<std::atomic<std::uint64_t>> flushGeneration_;
};
