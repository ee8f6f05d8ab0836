// A key-value store kept in memory and written whole to one property-list file in the
// measurement directory, at most once per second and in the background. Reads never touch the
// disk. Any thread may use it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sdk/analytics/storage/apm_config_store.h"
#include "platform/foundation/thread_safety.h"

namespace platform {
class DispatchQueue;
}

class APMPersistentDictionary : public APMConfigStore, public std::enable_shared_from_this<APMPersistentDictionary> {
 public:
  // Nothing for an empty name, no measurement directory or a directory that cannot be made.
  static std::shared_ptr<APMPersistentDictionary> initWithFileName(std::string_view name);
  ~APMPersistentDictionary() override;

  const std::string& filePath() const { return filePath_; }
  bool hasPendingPersistence() const;
  const std::shared_ptr<platform::DispatchQueue>& serialQueue() const { return serialQueue_; }

  platform::Value objectForKey(std::string_view key) override;
  void setObject(const platform::Value& value, std::string_view key) override;
  void removeObjectForKey(std::string_view key) override { setObject(platform::Value(), key); }
  void clearAllData() override;
  // Writing follows the one-second schedule only.
  void synchronize() override {}

  APMPersistentDictionary(std::string filePath, platform::Value::Dictionary content);

 private:
  void schedulePersistToDisk() REQUIRES(mutex_);
  void persistToDisk();
  static void writeFile(const std::string& path, const platform::Value::Dictionary& content);

  const std::string filePath_;
  mutable platform::Mutex mutex_;  // content_, hasPendingPersistence_
  platform::Value::Dictionary content_ GUARDED_BY(mutex_);
  bool hasPendingPersistence_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<platform::DispatchQueue> serialQueue_;
};
