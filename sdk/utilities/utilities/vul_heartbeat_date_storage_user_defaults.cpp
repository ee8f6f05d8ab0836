#include "sdk/utilities/utilities/vul_heartbeat_date_storage_user_defaults.h"

#include <map>

#include "platform/foundation/user_defaults.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

// Stores sharing one defaults object read and write its value together.
platform::Mutex& lockFor(const platform::UserDefaults* defaults) {
  static auto* guard = new platform::Mutex;
  static auto* locks = new std::map<const platform::UserDefaults*, std::unique_ptr<platform::Mutex>>;
  platform::MutexLock lock(*guard);
  auto& slot = (*locks)[defaults];
  if (!slot) slot = std::make_unique<platform::Mutex>();
  return *slot;
}

}  // namespace

VULHeartbeatDateStorageUserDefaults::VULHeartbeatDateStorageUserDefaults(std::shared_ptr<platform::UserDefaults> defaults,
                                                                         std::string key)
    : defaults_(std::move(defaults)), key_(std::move(key)) {}

Value::Dictionary VULHeartbeatDateStorageUserDefaults::heartbeatDictionaryFromDefaults() const {
  return defaults_->dictionaryForKey(key_).value_or(Value::Dictionary{});
}

std::optional<platform::Date> VULHeartbeatDateStorageUserDefaults::heartbeatDateForTag(std::string_view tag) {
  platform::MutexLock lock(lockFor(defaults_.get()));
  const auto dictionary = heartbeatDictionaryFromDefaults();
  const auto it = dictionary.find(tag);
  if (it == dictionary.end()) return std::nullopt;
  if (const platform::Date* date = it->second.ifDate()) return *date;
  return std::nullopt;
}

bool VULHeartbeatDateStorageUserDefaults::setHearbeatDate(platform::Date date, std::string_view tag) {
  platform::MutexLock lock(lockFor(defaults_.get()));
  Value::Dictionary dictionary = heartbeatDictionaryFromDefaults();
  dictionary[std::string(tag)] = Value(date);
  defaults_->setObject(Value(std::move(dictionary)), key_);
  return true;
}
