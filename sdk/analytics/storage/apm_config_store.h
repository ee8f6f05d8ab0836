// The key-value interface shared by the preferences store and the property-list store, so the
// persisted configuration can sit on either. A null value is "nil": reading gives it for an
// absent key, and setting it removes the key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

class APMConfigStore {
 public:
  virtual ~APMConfigStore() = default;

  virtual platform::Value objectForKey(std::string_view key) = 0;
  virtual void setObject(const platform::Value& value, std::string_view key) = 0;
  virtual void removeObjectForKey(std::string_view key) = 0;
  virtual void clearAllData() = 0;
  virtual void synchronize() = 0;

  // The stored number converted; 0 / NO when absent or not a number.
  std::int64_t integerForKey(std::string_view key);
  float floatForKey(std::string_view key);
  double doubleForKey(std::string_view key);
  bool boolForKey(std::string_view key);
  // The stored value when it is of that class.
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<platform::Value::Array> arrayForKey(std::string_view key);
  std::optional<platform::Value::Dictionary> dictionaryForKey(std::string_view key);

  void setInteger(std::int64_t value, std::string_view key) { setObject(platform::Value(value), key); }
  void setFloat(float value, std::string_view key) { setObject(platform::Value(static_cast<double>(value)), key); }
  void setDouble(double value, std::string_view key) { setObject(platform::Value(value), key); }
  void setBool(bool value, std::string_view key) { setObject(platform::Value(value), key); }
};

// A value both stores accept: string, number, array, dictionary, date or data, with nothing
// inside a collection that a property list cannot hold.
bool APMIsValidConfigValue(const platform::Value& value);
