#include "sdk/utilities/utilities/vul_keychain_utils.h"

#include "platform/foundation/format.h"
#include "platform/security/keychain.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

using platform::Value;

namespace {

void clear(platform::Error* error) {
  if (error) *error = platform::Error();
}

void fail(platform::Error* error, std::string_view function, platform::OSStatus status) {
  if (error) *error = VULKeychainUtils::keychainErrorWithFunction(function, status);
}

}  // namespace

Value::Dictionary VULKeychainUtils::multiplatformQueryWithQuery(const Value::Dictionary& query) {
  Value::Dictionary copy = query;
  if (VULAppEnvironmentUtil::isSystemVersionAtLeast(13, 0)) {
    copy[std::string(platform::kSecUseDataProtectionKeychain)] = Value(true);
  }
  return copy;
}

std::optional<platform::Data> VULKeychainUtils::getItemWithQuery(const Value::Dictionary& query,
                                                                 platform::Error* error) {
  Value::Dictionary search = multiplatformQueryWithQuery(query);
  search[std::string(platform::kSecReturnData)] = Value(true);
  search[std::string(platform::kSecMatchLimit)] = Value(platform::kSecMatchLimitOne);
  std::optional<platform::Data> result;
  const platform::OSStatus status = platform::SecItemCopyMatching(search, &result);
  if (status == platform::errSecSuccess && result) {
    clear(error);
    return result;
  }
  if (status == platform::errSecItemNotFound) {
    clear(error);
    return std::nullopt;
  }
  fail(error, "SecItemCopyMatching", status);
  return std::nullopt;
}

bool VULKeychainUtils::setItem(const platform::Data& item, const Value::Dictionary& query, platform::Error* error) {
  const Value::Dictionary itemQuery = multiplatformQueryWithQuery(query);
  platform::Error readError;
  const bool exists = getItemWithQuery(itemQuery, error ? &readError : nullptr).has_value();
  if (error && readError) {
    *error = readError;
    return false;
  }
  platform::OSStatus status;
  std::string_view function;
  if (exists) {
    function = "SecItemUpdate";
    status = platform::SecItemUpdate(itemQuery, {{std::string(platform::kSecValueData), Value(item)}});
  } else {
    function = "SecItemAdd";
    Value::Dictionary attributes = itemQuery;
    attributes[std::string(platform::kSecAttrAccessible)] = Value(platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    attributes[std::string(platform::kSecValueData)] = Value(item);
    status = platform::SecItemAdd(attributes);
  }
  if (status != platform::errSecSuccess) {
    fail(error, function, status);
    return false;
  }
  clear(error);
  return true;
}

bool VULKeychainUtils::removeItemWithQuery(const Value::Dictionary& query, platform::Error* error) {
  const platform::OSStatus status = platform::SecItemDelete(multiplatformQueryWithQuery(query));
  if (status == platform::errSecSuccess || status == platform::errSecItemNotFound) {
    clear(error);
    return true;
  }
  fail(error, "SecItemDelete", status);
  return false;
}

platform::Error VULKeychainUtils::keychainErrorWithFunction(std::string_view keychainFunction, std::int32_t status) {
  return platform::Error(std::string(kVULKeychainErrorDomain), 0,
                         {{std::string(platform::kLocalizedFailureReasonErrorKey),
                           Value(platform::format("%@ (%li)", keychainFunction, static_cast<long>(status)))}});
}
