// A small preferences store over one preferences domain (the app's own or a named suite). Writes
// go into the domain at once; the flush to disk is coalesced into one, a second after the last
// write. The delay runs on a queue of the store's own, so writes made from any thread or dispatch
// queue reach the disk (and the platform's preferences flush on their own besides).
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
class UserDefaults;
}  // namespace platform

class VULUserDefaults : public std::enable_shared_from_this<VULUserDefaults> {
  struct Private {};

 public:
  static std::shared_ptr<VULUserDefaults> standardUserDefaults();
  // None or an empty name: the app's own domain.
  static std::shared_ptr<VULUserDefaults> initWithSuiteName(std::optional<std::string_view> suiteName);

  VULUserDefaults(Private, std::shared_ptr<platform::UserDefaults> domain);
  ~VULUserDefaults();
  VULUserDefaults(const VULUserDefaults&) = delete;
  VULUserDefaults& operator=(const VULUserDefaults&) = delete;

  // Null for an absent or empty key.
  platform::Value objectForKey(std::string_view key) const;
  // A null value removes the key; a value that is no property list is refused with a warning.
  void setObject(const platform::Value& value, std::string_view key);
  void removeObjectForKey(std::string_view key) { setObject(platform::Value(), key); }

  std::int64_t integerForKey(std::string_view key) const { return objectForKey(key).integerValue(); }
  float floatForKey(std::string_view key) const { return static_cast<float>(objectForKey(key).doubleValue()); }
  double doubleForKey(std::string_view key) const { return objectForKey(key).doubleValue(); }
  bool boolForKey(std::string_view key) const { return objectForKey(key).boolValue(); }
  // The stored value as it is, whatever its kind.
  platform::Value stringForKey(std::string_view key) const { return objectForKey(key); }
  platform::Value arrayForKey(std::string_view key) const { return objectForKey(key); }
  platform::Value dictionaryForKey(std::string_view key) const { return objectForKey(key); }

  void setInteger(std::int64_t value, std::string_view key) { setObject(platform::Value(value), key); }
  void setFloat(float value, std::string_view key) { setObject(platform::Value(static_cast<double>(value)), key); }
  void setDouble(double value, std::string_view key) { setObject(platform::Value(value), key); }
  void setBool(bool value, std::string_view key) { setObject(platform::Value(value), key); }

  // Flushes the domain now.
  void synchronize();

  bool isPreferenceFileExcluded() const { return preferenceFileExcluded_; }
  void setPreferenceFileExcluded(bool excluded) { preferenceFileExcluded_ = excluded; }

  const std::string& suiteName() const;

 private:
  // Replaces any pending flush by one a second from now.
  void scheduleSynchronize();

  std::shared_ptr<platform::UserDefaults> domain_;
  std::shared_ptr<platform::DispatchQueue> syncQueue_;
  // Each write bumps it; a delayed flush runs only when no write came after it was scheduled.
  std::shared_ptr<std::atomic<std::uint64_t>> generation_;
  std::atomic<bool> preferenceFileExcluded_ = false;
};
