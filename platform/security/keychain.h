// The keychain: items of a class (generic passwords, keys) with attributes and secret data, kept
// in one property list under the home's Keychain folder (beside Library, so removing Library
// alone leaves it, as a reinstall does). Queries and attributes are dictionaries keyed by the
// platform's short attribute names below; calls answer the platform's status codes.
//
// Processes on one home share the store: a change is made under the file's lock on top of the
// items on disk, and a call sees what other processes saved; reads of this process go on while a
// change waits for another process's lock. A store that cannot be read now answers errSecIO, and
// one held by another process for too long errSecInteractionNotAllowed: neither is taken for an
// empty store. A damaged file is kept aside under a number of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;

inline constexpr std::string_view kSecClass = "class";
inline constexpr std::string_view kSecClassGenericPassword = "genp";
inline constexpr std::string_view kSecClassKey = "keys";
inline constexpr std::string_view kSecAttrService = "svce";
inline constexpr std::string_view kSecAttrAccount = "acct";
inline constexpr std::string_view kSecAttrAccessGroup = "agrp";
inline constexpr std::string_view kSecAttrGeneric = "gena";
inline constexpr std::string_view kSecAttrApplicationTag = "atag";
inline constexpr std::string_view kSecAttrKeyType = "type";
inline constexpr std::string_view kSecAttrKeyTypeRSA = "42";
inline constexpr std::string_view kSecAttrAccessible = "pdmn";
inline constexpr std::string_view kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr std::string_view kSecValueData = "v_Data";
inline constexpr std::string_view kSecReturnData = "r_Data";
inline constexpr std::string_view kSecMatchLimit = "m_Limit";
inline constexpr std::string_view kSecMatchLimitOne = "m_LimitOne";
inline constexpr std::string_view kSecUseDataProtectionKeychain = "nleg";

// An item matches a query when it has the query's class and every attribute the query names
// (return, match and use options aside) with an equal value.
// The first match's data; errSecItemNotFound when none matches.
OSStatus SecItemCopyMatching(const Value::Dictionary& query, std::optional<Data>* result);
// errSecDuplicateItem when an item with the same class and attributes exists.
OSStatus SecItemAdd(const Value::Dictionary& attributes);
// Changes every matching item; errSecItemNotFound when none matches.
OSStatus SecItemUpdate(const Value::Dictionary& query, const Value::Dictionary& attributesToUpdate);
// Removes every matching item; errSecItemNotFound when none matches.
OSStatus SecItemDelete(const Value::Dictionary& query);

namespace KeychainTesting {
enum class Call { CopyMatching, Add, Update, Delete };
// The next `count` calls of that kind answer `status` without touching the items.
void failNext(Call call, OSStatus status, int count = 1);
// How many calls of that kind were made (failed ones included).
std::int64_t callCount(Call call);
// Forgets injected failures and counters; the items stay.
void reset();
}  // namespace KeychainTesting

}  // namespace platform
