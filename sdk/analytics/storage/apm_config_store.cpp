#include "sdk/analytics/storage/apm_config_store.h"

using platform::Value;

std::int64_t APMConfigStore::integerForKey(std::string_view key) {
  const Value value = objectForKey(key);
  return value.isNumber() ? value.integerValue() : 0;
}

float APMConfigStore::floatForKey(std::string_view key) { return static_cast<float>(doubleForKey(key)); }

double APMConfigStore::doubleForKey(std::string_view key) {
  const Value value = objectForKey(key);
  return value.isNumber() ? value.doubleValue() : 0.0;
}

bool APMConfigStore::boolForKey(std::string_view key) {
  const Value value = objectForKey(key);
  return value.isNumber() && value.boolValue();
}

std::optional<std::string> APMConfigStore::stringForKey(std::string_view key) {
  const Value value = objectForKey(key);
  if (const auto* s = value.ifString()) return *s;
  return std::nullopt;
}

std::optional<Value::Array> APMConfigStore::arrayForKey(std::string_view key) {
  const Value value = objectForKey(key);
  if (const auto* a = value.ifArray()) return *a;
  return std::nullopt;
}

std::optional<Value::Dictionary> APMConfigStore::dictionaryForKey(std::string_view key) {
  const Value value = objectForKey(key);
  if (const auto* d = value.ifDictionary()) return *d;
  return std::nullopt;
}

bool APMIsValidConfigValue(const Value& value) {
  if (value.isNull()) return false;
  if (const auto* array = value.ifArray()) {
    for (const Value& element : *array) {
      if (!APMIsValidConfigValue(element)) return false;
    }
  }
  if (const auto* dictionary = value.ifDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (!APMIsValidConfigValue(element)) return false;
    }
  }
  return true;
}
