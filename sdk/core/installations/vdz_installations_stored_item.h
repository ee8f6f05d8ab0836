// The archived forms of an installation record and its auth token, as the keychain keeps them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/foundation/keyed_archive.h"

inline constexpr std::string_view kVDZInstallationsStoredItemClassName = "VDZInstallationsStoredItem";
inline constexpr std::string_view kVDZInstallationsStoredAuthTokenClassName = "VDZInstallationsStoredAuthToken";

enum VDZInstallationsAuthTokenStatus : std::int64_t {
  VDZInstallationsAuthTokenStatusUnknown = 0,
  VDZInstallationsAuthTokenStatusTokenReceived = 1,
};

class VDZInstallationsStoredAuthToken final : public platform::Codable {
 public:
  static constexpr std::int64_t kStorageVersion = 1;

  std::int64_t status = VDZInstallationsAuthTokenStatusUnknown;
  std::optional<std::string> token;
  std::optional<platform::Date> expirationDate;

  std::shared_ptr<VDZInstallationsStoredAuthToken> copy() const {
    return std::make_shared<VDZInstallationsStoredAuthToken>(*this);
  }

  std::string className() const override { return std::string(kVDZInstallationsStoredAuthTokenClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<VDZInstallationsStoredAuthToken> initWithCoder(platform::KeyedUnarchiver& coder);
};

class VDZInstallationsStoredItem final : public platform::Codable {
 public:
  static constexpr std::int64_t kStorageVersion = 1;

  std::optional<std::string> vuduzaraInstallationID;
  std::optional<std::string> refreshToken;
  std::shared_ptr<VDZInstallationsStoredAuthToken> authToken;
  std::int64_t registrationStatus = 0;
  std::optional<std::string> IIDDefaultToken;

  std::string className() const override { return std::string(kVDZInstallationsStoredItemClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<VDZInstallationsStoredItem> initWithCoder(platform::KeyedUnarchiver& coder);
};

// Registers both classes with the archiver; idempotent.
void VDZInstallationsRegisterArchiveClasses();
