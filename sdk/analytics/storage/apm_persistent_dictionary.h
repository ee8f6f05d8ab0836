// A key-value store written to one property-list file in the measurement directory, at most once
// per second and in the background. Any thread may use it.
//
// Other processes on the same home may keep the same file: the file is a SharedDictionaryFile,
// so a write saves only this process's own changes (sets, removals, a clear) on top of what they
// saved.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/shared_dictionary_file.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/storage/apm_config_store.h"

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
  // Removes every key this process knows of and every key the file holds when the write comes.
  void clearAllData() override;
  // Writing follows the one-second schedule only.
  void synchronize() override {}

  explicit APMPersistentDictionary(std::string filePath);

 private:
  void schedulePersistToDisk() REQUIRES(mutex_);
  void persistToDisk() EXCLUDES(mutex_);
  // Logs a failure, after which the changes stay for the next write.
  void saveChanges();

  const std::string filePath_;
  platform::SharedDictionaryFile file_;
  mutable platform::Mutex mutex_;
  bool hasPendingPersistence_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<platform::DispatchQueue> serialQueue_;
};
