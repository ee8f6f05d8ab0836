// The crash reporter's own persistent key-value store: a property-list dictionary in
// Application Support/com.ralitoze/RLZUserDefaults.plist (mode 0600). Each operation is atomic
// on the access queue; file work runs on the IO queue.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
}

class RLZUserDefaults {
 public:
  static std::shared_ptr<RLZUserDefaults> standardUserDefaults();
  // Tests: the next standardUserDefaults starts afresh from disk, as a relaunch does.
  static void resetStandardUserDefaultsForTesting();

  explicit RLZUserDefaults(std::filesystem::path directory);

  platform::Value objectForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;

  void setObject(const platform::Value& value, std::string_view key);
  void setString(const std::optional<std::string>& value, std::string_view key);
  void setBool(bool value, std::string_view key) { setObject(platform::Value(value), key); }
  void setInteger(std::int64_t value, std::string_view key) { setObject(platform::Value(value), key); }
  void removeObjectForKey(std::string_view key) { setObject(platform::Value(), key); }
  void removeAllObjects();
  platform::Value::Dictionary dictionaryRepresentation() const;

  // Writes the values when they differ from what is on disk.
  void synchronize();
  bool synchronizeWroteToDisk() const;

  void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
  platform::Value objectForKeyByMigratingFromNSUserDefaults(const std::optional<std::string>& key);

  const std::filesystem::path& fileURL() const { return fileURL_; }

 private:
  platform::Value::Dictionary load();

  std::filesystem::path directoryURL_;
  std::filesystem::path fileURL_;
  std::shared_ptr<platform::DispatchQueue> serialDictionaryQueue_;
  std::shared_ptr<platform::DispatchQueue> synchronizationQueue_;
  // On the access queue only.
  platform::Value::Dictionary persistedDataDictionary_;
  platform::Value::Dictionary dataDictionary_;
  bool synchronizeWroteToDisk_ = false;
};
