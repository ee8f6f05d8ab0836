// The in-memory record of one app's installation: its identifier (the FID), tokens and
// registration status; how a new FID is made; how a record is keyed in storage; and how the
// service's answers are read into records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "sdk/core/installations/vdz_installations_stored_item.h"

enum VDZInstallationsRegistrationStatus : std::int64_t {
  VDZInstallationsRegistrationStatusUnknown = 0,
  VDZInstallationsRegistrationStatusUnregistered = 1,
  VDZInstallationsRegistrationStatusRegistered = 2,
};

class VDZInstallationsItem {
 public:
  VDZInstallationsItem(std::string appID, std::string vuduzaraAppName)
      : appID_(std::move(appID)), vuduzaraAppName_(std::move(vuduzaraAppName)) {}

  const std::string& appID() const { return appID_; }
  const std::string& vuduzaraAppName() const { return vuduzaraAppName_; }

  std::optional<std::string> vuduzaraInstallationID;
  std::optional<std::string> refreshToken;
  std::shared_ptr<VDZInstallationsStoredAuthToken> authToken;
  std::int64_t registrationStatus = VDZInstallationsRegistrationStatusUnknown;
  std::optional<std::string> IIDDefaultToken;

  // The auth token is copied too, so the copy can be changed alone.
  std::shared_ptr<VDZInstallationsItem> copy() const;
  void updateWithStoredItem(const VDZInstallationsStoredItem& item);
  std::shared_ptr<VDZInstallationsStoredItem> storedItem() const;

  std::string identifier() const { return identifierWithAppID(appID_, vuduzaraAppName_); }
  // The app ID directly followed by the app name.
  static std::string identifierWithAppID(std::string_view appID, std::string_view appName);

  bool isValid(platform::Error* error) const;

  // 22 URL-safe Base64 characters from a random UUID behind a prefix byte 0111xxxx.
  static std::string generateFID();
  // Whether `fid` has the form of an installation ID: 22 URL-safe Base64 characters, so that it
  // can stand in a request path as it is.
  static bool isInstallationIDForm(std::string_view fid);
  // Whether `fid` has the form of a legacy identifier a migration carried over: 11 URL-safe Base64
  // characters.
  static bool isLegacyInstallationIDForm(std::string_view fid);
  // Either form: what a stored record may hold.
  static bool isInstallationIDOrLegacyForm(std::string_view fid);
  // Standard Base64 with padding, "/" as "_" and "+" as "-".
  static std::string base64URLEncodedStringWithData(std::span<const std::uint8_t> data);

  // The registration answer read on the item that was sent: a new registered item.
  std::shared_ptr<VDZInstallationsItem> registeredInstallationWithJSONData(const platform::Data& data,
                                                                           platform::Date date,
                                                                           platform::Error* error) const;
  static std::shared_ptr<VDZInstallationsStoredAuthToken> authTokenWithGenerateTokenAPIJSONData(
      const platform::Data& data, platform::Date date, platform::Error* error);
  static std::shared_ptr<VDZInstallationsStoredAuthToken> authTokenWithJSONDict(const platform::Value::Dictionary& dict,
                                                                                platform::Date date,
                                                                                platform::Error* error);
  static std::optional<platform::Value::Dictionary> dictionaryFromJSONData(const platform::Data& data,
                                                                           platform::Error* error);
  // A string of at least one character, else none.
  static std::optional<std::string> validStringOrNilForKey(std::string_view key, const platform::Value::Dictionary& dict);

 private:
  std::string appID_;
  std::string vuduzaraAppName_;
};
