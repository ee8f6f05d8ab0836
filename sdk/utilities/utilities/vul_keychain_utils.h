// Thin calls over the keychain's item functions, with errors of "com.vul.keychain.ErrorDomain".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

inline constexpr std::string_view kVULKeychainErrorDomain = "com.vul.keychain.ErrorDomain";

class VULKeychainUtils {
 public:
  VULKeychainUtils() = delete;

  // A copy of the query that uses the data-protection keychain on systems from 13.0 on.
  static platform::Value::Dictionary multiplatformQueryWithQuery(const platform::Value::Dictionary& query);

  // The item's data; none when there is no item (no error) or the read failed (error set).
  static std::optional<platform::Data> getItemWithQuery(const platform::Value::Dictionary& query,
                                                        platform::Error* error);
  // Updates the item's data, or adds it accessible after first unlock on this device only.
  static bool setItem(const platform::Data& item, const platform::Value::Dictionary& query, platform::Error* error);
  // An absent item counts as removed.
  static bool removeItemWithQuery(const platform::Value::Dictionary& query, platform::Error* error);

  // Code 0, failure reason "<function> (<status>)".
  static platform::Error keychainErrorWithFunction(std::string_view keychainFunction, std::int32_t status);
};
