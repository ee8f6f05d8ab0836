#include "platform/security/keychain.h"

#include <array>
#include <string>
#include <vector>

#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {

constexpr std::string_view kFileName = "keychain.plist";

// Keys of a query that select nothing: what to return, how many, which keychain.
bool isSearchOption(std::string_view key) {
  return key == kSecReturnData || key == kSecMatchLimit || key == kSecUseDataProtectionKeychain ||
         key == kSecValueData;
}

struct Store {
  Mutex mutex;
  bool loaded GUARDED_BY(mutex) = false;
  bool observing GUARDED_BY(mutex) = false;
  std::filesystem::path home GUARDED_BY(mutex);
  std::vector<Value::Dictionary> items GUARDED_BY(mutex);
  std::array<int, 4> failures GUARDED_BY(mutex){};
  std::array<OSStatus, 4> failureStatus GUARDED_BY(mutex){};
  std::array<std::int64_t, 4> calls GUARDED_BY(mutex){};
};

Store& store() {
  static auto* s = new Store;
  return *s;
}

std::filesystem::path filePath() { return Home::keychain() / kFileName; }

// Reads the file of the current home; a damaged file counts as empty (and is kept aside, not lost).
void loadLocked(Store& s) REQUIRES(s.mutex) {
  if (!s.observing) {
    s.observing = true;
    Home::addChangeObserver([] {
      Store& st = store();
      MutexLock lock(st.mutex);
      st.loaded = false;
      st.items.clear();
    });
  }
  if (s.loaded && s.home == Home::path()) return;
  s.loaded = true;
  s.home = Home::path();
  s.items.clear();
  auto& files = FileManager::defaultManager();
  if (!files.fileExists(filePath())) return;
  auto bytes = files.contentsAtPath(filePath());
  std::optional<Value> root = bytes ? PropertyList::read(*bytes) : std::nullopt;
  if (!root || !root->isArray()) {
    Console::log("Keychain: unreadable store kept aside as keychain.plist.damaged");
    std::error_code ec;
    std::filesystem::rename(filePath(), Home::keychain() / "keychain.plist.damaged", ec);
    return;
  }
  for (const Value& item : root->arrayOrEmpty()) {
    if (item.isDictionary()) s.items.push_back(*item.ifDictionary());
  }
}

bool saveLocked(const Store& s) REQUIRES(s.mutex) {
  Value::Array array;
  for (const auto& item : s.items) array.emplace_back(item);
  auto bytes = PropertyList::write(Value(std::move(array)), PropertyList::Format::Binary);
  if (!bytes) return false;
  auto& files = FileManager::defaultManager();
  files.createDirectory(Home::keychain());
  return files.writeAtomically(filePath(), *bytes, 0600);
}

bool matches(const Value::Dictionary& item, const Value::Dictionary& query) {
  for (const auto& [key, value] : query) {
    if (isSearchOption(key)) continue;
    auto it = item.find(key);
    if (it == item.end() || !(it->second == value)) return false;
  }
  return true;
}

// Counts the call and answers an injected failure, if one is due.
std::optional<OSStatus> injected(Store& s, KeychainTesting::Call call) REQUIRES(s.mutex) {
  const auto i = static_cast<std::size_t>(call);
  ++s.calls[i];
  if (s.failures[i] > 0) {
    --s.failures[i];
    return s.failureStatus[i];
  }
  return std::nullopt;
}

bool hasClass(const Value::Dictionary& query) {
  auto it = query.find(kSecClass);
  return it != query.end() && it->second.isString() &&
         (*it->second.ifString() == kSecClassGenericPassword || *it->second.ifString() == kSecClassKey);
}

}  // namespace

OSStatus SecItemCopyMatching(const Value::Dictionary& query, std::optional<Data>* result) {
  Store& s = store();
  MutexLock lock(s.mutex);
  if (result) result->reset();
  if (auto status = injected(s, KeychainTesting::Call::CopyMatching)) return *status;
  if (!hasClass(query)) return errSecParam;
  loadLocked(s);
  for (const auto& item : s.items) {
    if (!matches(item, query)) continue;
    if (result) {
      auto data = item.find(kSecValueData);
      if (data != item.end() && data->second.isData()) *result = *data->second.ifData();
    }
    return errSecSuccess;
  }
  return errSecItemNotFound;
}

OSStatus SecItemAdd(const Value::Dictionary& attributes) {
  Store& s = store();
  MutexLock lock(s.mutex);
  if (auto status = injected(s, KeychainTesting::Call::Add)) return *status;
  if (!hasClass(attributes)) return errSecParam;
  loadLocked(s);
  Value::Dictionary item;
  for (const auto& [key, value] : attributes) {
    if (key == kSecReturnData || key == kSecMatchLimit || key == kSecUseDataProtectionKeychain) continue;
    item.emplace(key, value);
  }
  for (const auto& existing : s.items) {
    if (matches(existing, item)) return errSecDuplicateItem;
  }
  s.items.push_back(std::move(item));
  if (!saveLocked(s)) {
    s.items.pop_back();
    return errSecIO;
  }
  return errSecSuccess;
}

OSStatus SecItemUpdate(const Value::Dictionary& query, const Value::Dictionary& attributesToUpdate) {
  Store& s = store();
  MutexLock lock(s.mutex);
  if (auto status = injected(s, KeychainTesting::Call::Update)) return *status;
  if (!hasClass(query) || attributesToUpdate.contains(kSecClass)) return errSecParam;
  loadLocked(s);
  const auto before = s.items;
  bool found = false;
  for (auto& item : s.items) {
    if (!matches(item, query)) continue;
    found = true;
    for (const auto& [key, value] : attributesToUpdate) item[key] = value;
  }
  if (!found) return errSecItemNotFound;
  if (!saveLocked(s)) {
    s.items = before;
    return errSecIO;
  }
  return errSecSuccess;
}

OSStatus SecItemDelete(const Value::Dictionary& query) {
  Store& s = store();
  MutexLock lock(s.mutex);
  if (auto status = injected(s, KeychainTesting::Call::Delete)) return *status;
  if (!hasClass(query)) return errSecParam;
  loadLocked(s);
  const auto before = s.items;
  std::erase_if(s.items, [&](const Value::Dictionary& item) { return matches(item, query); });
  if (s.items.size() == before.size()) return errSecItemNotFound;
  if (!saveLocked(s)) {
    s.items = before;
    return errSecIO;
  }
  return errSecSuccess;
}

namespace KeychainTesting {

void failNext(Call call, OSStatus status, int count) {
  Store& s = store();
  MutexLock lock(s.mutex);
  s.failures[static_cast<std::size_t>(call)] = count;
  s.failureStatus[static_cast<std::size_t>(call)] = status;
}

std::int64_t callCount(Call call) {
  Store& s = store();
  MutexLock lock(s.mutex);
  return s.calls[static_cast<std::size_t>(call)];
}

void reset() {
  Store& s = store();
  MutexLock lock(s.mutex);
  s.failures = {};
  s.calls = {};
}

}  // namespace KeychainTesting

}  // namespace platform
