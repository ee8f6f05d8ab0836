#include "sdk/core/installations/vdz_installations_stored_item.h"

#include <mutex>

#include "platform/foundation/value.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/installations/vdz_installations_errors.h"

using platform::Value;

namespace {

void encodeString(platform::KeyedArchiver& coder, const std::optional<std::string>& value, std::string_view key) {
  coder.encodeObject(value ? Value(*value) : Value(), key);
}

}  // namespace

void VDZInstallationsStoredAuthToken::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInteger(status, "status");
  encodeString(coder, token, "token");
  coder.encodeObject(expirationDate ? Value(*expirationDate) : Value(), "expirationDate");
  coder.encodeInteger(kStorageVersion, "storageVersion");
}

std::shared_ptr<VDZInstallationsStoredAuthToken> VDZInstallationsStoredAuthToken::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  const std::int64_t version = coder.decodeIntegerForKey("storageVersion");
  if (version > kStorageVersion) {
    VDZLoggerLogWarning(kVDZInstallationsLoggerService, "I-FIS004000",
                        "VDZInstallationsStoredAuthToken was encoded by a newer coder version %ld. Current coder "
                        "version is %ld. Some auth token data may be lost.",
                        static_cast<long>(version), static_cast<long>(kStorageVersion));
  }
  auto token = std::make_shared<VDZInstallationsStoredAuthToken>();
  token->status = coder.decodeIntegerForKey("status");
  token->token = coder.decodeStringForKey("token");
  token->expirationDate = coder.decodeDateForKey("expirationDate");
  return token;
}

void VDZInstallationsStoredItem::encodeWithCoder(platform::KeyedArchiver& coder) const {
  encodeString(coder, vuduzaraInstallationID, "vuduzaraInstallationID");
  encodeString(coder, refreshToken, "refreshToken");
  coder.encodeObject(std::shared_ptr<const platform::Codable>(authToken), "authToken");
  coder.encodeInteger(registrationStatus, "registrationStatus");
  encodeString(coder, IIDDefaultToken, "IIDDefaultToken");
  coder.encodeInteger(kStorageVersion, "storageVersion");
}

std::shared_ptr<VDZInstallationsStoredItem> VDZInstallationsStoredItem::initWithCoder(platform::KeyedUnarchiver& coder) {
  const std::int64_t version = coder.decodeIntegerForKey("storageVersion");
  if (version > kStorageVersion) {
    VDZLoggerLogWarning(kVDZInstallationsLoggerService, "I-FIS003000",
                        "VDZInstallationsStoredItem was encoded by a newer coder version %ld. Current coder version "
                        "is %ld. Some installation data may be lost.",
                        static_cast<long>(version), static_cast<long>(kStorageVersion));
  }
  auto item = std::make_shared<VDZInstallationsStoredItem>();
  item->vuduzaraInstallationID = coder.decodeStringForKey("vuduzaraInstallationID");
  item->refreshToken = coder.decodeStringForKey("refreshToken");
  item->authToken = coder.decodeObjectOfClass<VDZInstallationsStoredAuthToken>(
      kVDZInstallationsStoredAuthTokenClassName, "authToken");
  item->registrationStatus = coder.decodeIntegerForKey("registrationStatus");
  item->IIDDefaultToken = coder.decodeStringForKey("IIDDefaultToken");
  return item;
}

void VDZInstallationsRegisterArchiveClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::CodableClasses::registerClass<VDZInstallationsStoredAuthToken>(
        std::string(kVDZInstallationsStoredAuthTokenClassName));
    platform::CodableClasses::registerClass<VDZInstallationsStoredItem>(std::string(kVDZInstallationsStoredItemClassName));
  });
}
