// The settings of one SDK app: the identifiers of the options property list "VidezuService-Info"
// (or set by the caller), two settings kept beside them, and the analytics switches merged from
// the app's Info.plist. Once an app is configured, its options are locked against editing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/runtime/object.h"
#include "platform/foundation/thread_safety.h"

inline constexpr std::string_view kVDZOptionsPlistName = "VidezuService-Info";
inline constexpr std::string_view kVDZOptionsPlistType = "plist";

inline constexpr std::string_view kVDZAPIKey = "API_KEY";
inline constexpr std::string_view kVDZClientID = "CLIENT_ID";
inline constexpr std::string_view kVDZTrackingID = "TRACKING_ID";
inline constexpr std::string_view kVDZVCMSenderID = "VCM_SENDER_ID";
inline constexpr std::string_view kVDZProjectID = "PROJECT_ID";
inline constexpr std::string_view kVDZAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr std::string_view kVDZVidezuAppID = "VIDEZU_APP_ID";
inline constexpr std::string_view kVDZDatabaseURL = "DATABASE_URL";
inline constexpr std::string_view kVDZStorageBucket = "STORAGE_BUCKET";
inline constexpr std::string_view kVDZBundleID = "BUNDLE_ID";
inline constexpr std::string_view kVDZIsAnalyticsEnabled = "IS_ANALYTICS_ENABLED";
inline constexpr std::string_view kVDZIsSignInEnabled = "IS_SIGNIN_ENABLED";

// Analytics switches, looked up in the app's Info.plist first, then in the options.
inline constexpr std::string_view kVDZIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr std::string_view kVDZAnalyticsCollectionEnabled = "VUDUZARA_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kVDZAnalyticsCollectionDeactivated = "VUDUZARA_ANALYTICS_COLLECTION_DEACTIVATED";

class VDZOptions : public platform::runtime::Object {
  struct Private {};

 public:
  // The options of "VidezuService-Info.plist" in the main bundle, made once per process; null
  // when the file is missing or not a dictionary. This is the shared instance: copy it to keep it.
  static std::shared_ptr<VDZOptions> defaultOptions();
  static std::optional<platform::Value::Dictionary> defaultOptionsDictionary();
  static std::optional<std::string> plistFilePathWithName(std::string_view fileName);
  static void resetDefaultOptions();

  // Options from a dictionary read from the default property list (and their copies).
  static std::shared_ptr<VDZOptions> initInternalWithOptionsDictionary(const platform::Value::Dictionary& dictionary);
  // Null, with a log line, for an empty path or a file that is not a readable dictionary.
  static std::shared_ptr<VDZOptions> initWithContentsOfFile(std::string_view plistPath);
  static std::shared_ptr<VDZOptions> initWithVidezuAppID(std::string_view videzuAppID, std::string_view VCMSenderID);

  VDZOptions(Private, platform::Value::Dictionary dictionary, bool usingOptionsFromDefaultPlist);

  // Property-list values; absent (or not text) reads as none.
  std::optional<std::string> APIKey() const { return stringForKey(kVDZAPIKey); }
  std::optional<std::string> clientID() const { return stringForKey(kVDZClientID); }
  std::optional<std::string> trackingID() const { return stringForKey(kVDZTrackingID); }
  std::optional<std::string> VCMSenderID() const { return stringForKey(kVDZVCMSenderID); }
  std::optional<std::string> projectID() const { return stringForKey(kVDZProjectID); }
  std::optional<std::string> androidClientID() const { return stringForKey(kVDZAndroidClientID); }
  std::optional<std::string> videzuAppID() const { return stringForKey(kVDZVidezuAppID); }
  std::optional<std::string> databaseURL() const { return stringForKey(kVDZDatabaseURL); }
  std::optional<std::string> storageBucket() const { return stringForKey(kVDZStorageBucket); }
  std::optional<std::string> bundleID() const { return stringForKey(kVDZBundleID); }
  bool isAnalyticsEnabled() const;
  bool isSignInEnabled() const;

  // Each setter raises once editing is locked.
  void setAPIKey(std::string value) { setStringForKey(kVDZAPIKey, std::move(value)); }
  void setClientID(std::string value) { setStringForKey(kVDZClientID, std::move(value)); }
  void setTrackingID(std::string value) { setStringForKey(kVDZTrackingID, std::move(value)); }
  void setVCMSenderID(std::string value) { setStringForKey(kVDZVCMSenderID, std::move(value)); }
  void setProjectID(std::string value) { setStringForKey(kVDZProjectID, std::move(value)); }
  void setAndroidClientID(std::string value) { setStringForKey(kVDZAndroidClientID, std::move(value)); }
  void setVidezuAppID(std::string value) { setStringForKey(kVDZVidezuAppID, std::move(value)); }
  void setDatabaseURL(std::string value) { setStringForKey(kVDZDatabaseURL, std::move(value)); }
  void setStorageBucket(std::string value) { setStringForKey(kVDZStorageBucket, std::move(value)); }
  void setBundleID(std::string value) { setStringForKey(kVDZBundleID, std::move(value)); }

  std::optional<std::string> deepLinkURLScheme() const;
  void setDeepLinkURLScheme(std::optional<std::string> scheme);
  std::optional<std::string> appGroupID() const;
  void setAppGroupID(std::optional<std::string> appGroupID);

  // "8.15.0" gives "81500000": the major part, minor and patch as two digits each, then "000".
  static const std::string& libraryVersionID();

  bool usingOptionsFromDefaultPlist() const;
  void setUsingOptionsFromDefaultPlist(bool value);
  bool isEditingLocked() const;
  void setEditingLocked(bool locked);
  // Raises "com.vuduzara.core" when locked.
  void checkEditingLocked() const;

  platform::Value::Dictionary optionsDictionary() const;

  // A new instance holding the same settings; the lock is copied too.
  std::shared_ptr<VDZOptions> copy() const;
  bool isEqualToOptions(const VDZOptions& other) const;
  bool isEqual(const std::shared_ptr<const VDZOptions>& other) const { return other && isEqualToOptions(*other); }
  std::size_t hash() const;

  // The three analytics keys, each from the Info.plist given, else from the options; built on
  // first use and then kept.
  platform::Value::Dictionary analyticsOptionsDictionaryWithInfoDictionary(const platform::Value::Dictionary& info) const;
  platform::Value::Dictionary analyticsOptionsDictionary() const;
  bool isMeasurementEnabled() const;
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  bool isAnalyticsCollectionExplicitlySet() const;

  std::string description() const;

 private:
  std::optional<std::string> stringForKey(std::string_view key) const;
  void setStringForKey(std::string_view key, std::string value);

  mutable platform::RecursiveMutex mutex_;
  platform::Value::Dictionary optionsDictionary_ GUARDED_BY(mutex_);
  std::optional<std::string> deepLinkURLScheme_ GUARDED_BY(mutex_);
  std::optional<std::string> appGroupID_ GUARDED_BY(mutex_);
  bool usingOptionsFromDefaultPlist_ GUARDED_BY(mutex_) = false;
  bool editingLocked_ GUARDED_BY(mutex_) = false;
  mutable std::optional<platform::Value::Dictionary> analyticsOptionsDictionary_ GUARDED_BY(mutex_);
};
