#include "platform/security/keychain.h"

#include <array>
#include <string>
#include <vector>

#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/format.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/shared_file.h"
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
  std::filesystem::path file GUARDED_BY(mutex);
  std::vector<Value::Dictionary> items GUARDED_BY(mutex);
  SharedFile::Version version GUARDED_BY(mutex);  // of the file `items` were read from or written to
  std::array<int, 4> failures GUARDED_BY(mutex){};
  std::array<OSStatus, 4> failureStatus GUARDED_BY(mutex){};
  std::array<std::int64_t, 4> calls GUARDED_BY(mutex){};
};

Store& store() {
  static auto* s = new Store;
  return *s;
}

// Starts afresh when the home changed since the items were read.
SharedFile fileOfCurrentHomeLocked(Store& s) REQUIRES(s.mutex) {
  if (!s.observing) {
    s.observing = true;
    Home::addChangeObserver([] {
      Store& st = store();
      MutexLock lock(st.mutex);
      st.loaded = false;
    });
  }
  if (!s.loaded || s.home != Home::path()) {
    s.loaded = true;
    s.home = Home::path();
    s.file = Home::keychain() / kFileName;
    s.items.clear();
    s.version = {};
  }
  return SharedFile(s.file);
}

OSStatus lockFailure(const Error& error) {
  return SharedFile::isBusy(error) ? errSecInteractionNotAllowed : errSecIO;
}

// Brings the items up to date with the file, which other processes on the home may have
// rewritten. A damaged file is set aside, under the lock, and counts as empty; a file that cannot
// be read now is an error, so nothing is lost or overwritten on a transient failure.
OSStatus refreshLocked(Store& s, SharedFile::Lock* lock) REQUIRES(s.mutex) {
  const SharedFile file = fileOfCurrentHomeLocked(s);
  if (lock ? file.isCurrent(s.version, *lock) : file.isCurrent(s.version)) return errSecSuccess;
  SharedFile::Contents contents = file.read(lock);
  std::optional<Value> root;
  switch (contents.state) {
    case SharedFile::State::Missing:
      s.items.clear();
      s.version = contents.version;
      return errSecSuccess;
    case SharedFile::State::Unreadable:
      Console::log(format("Keychain: cannot read the store now: %@", contents.error));
      return errSecIO;
    case SharedFile::State::Present:
      root = PropertyList::read(contents.bytes);
      if (root && root->isArray()) {
        s.items.clear();
        for (const Value& item : root->arrayOrEmpty()) {
          if (item.isDictionary()) s.items.push_back(*item.ifDictionary());
        }
        s.version = contents.version;
        return errSecSuccess;
      }
      break;
    case SharedFile::State::Damaged:
      break;
  }
  // Only the lock's holder may move the file: without it, a good version another process has
  // just written could be the one moved.
  if (!lock) {
    Error error;
    std::optional<SharedFile::Lock> held = file.lock(&error);
    if (!held) return lockFailure(error);
    return refreshLocked(s, &*held);
  }
  Error error;
  auto aside = file.setAside(*lock, &error);
  if (!aside) {
    Console::log(format("Keychain: the store is damaged and could not be set aside: %@", error));
    return errSecIO;
  }
  Console::log(format("Keychain: damaged store kept aside as %s", aside->filename().string()));
  s.items.clear();
  s.version = file.read(lock).version;
  return errSecSuccess;
}

// Runs a change of the items under the file's lock, on top of the file's current contents, and
// saves it; the items are restored when the save fails. `change` answers a status; only success
// is saved.
template <class Change>
OSStatus changeLocked(Store& s, Change change) REQUIRES(s.mutex) {
  const SharedFile file = fileOfCurrentHomeLocked(s);
  Error error;
  if (!FileManager::defaultManager().createDirectory(file.path().parent_path(), true, &error)) return errSecIO;
  std::optional<SharedFile::Lock> lock = file.lock(&error);
  if (!lock) return lockFailure(error);
  if (OSStatus status = refreshLocked(s, &*lock); status != errSecSuccess) return status;
  const auto before = s.items;
  if (OSStatus status = change(s.items); status != errSecSuccess) return status;
  Value::Array array;
  for (const auto& item : s.items) array.emplace_back(item);
  std::optional<Data> bytes = PropertyList::write(Value(std::move(array)), PropertyList::Format::Binary);
  std::optional<SharedFile::Version> written = bytes ? file.write(*lock, *bytes, 0600, &error) : std::nullopt;
  if (!written) {
    s.items = before;
    s.version = {};
    return errSecIO;
  }
  s.version = *written;
  return errSecSuccess;
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
  if (OSStatus status = refreshLocked(s, nullptr); status != errSecSuccess) return status;
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
  Value::Dictionary item;
  for (const auto& [key, value] : attributes) {
    if (key == kSecReturnData || key == kSecMatchLimit || key == kSecUseDataProtectionKeychain) continue;
    item.emplace(key, value);
  }
  return changeLocked(s, [&](std::vector<Value::Dictionary>& items) {
    for (const auto& existing : items) {
      if (matches(existing, item)) return errSecDuplicateItem;
    }
    items.push_back(std::move(item));
    return errSecSuccess;
  });
}

OSStatus SecItemUpdate(const Value::Dictionary& query, const Value::Dictionary& attributesToUpdate) {
  Store& s = store();
  MutexLock lock(s.mutex);
  if (auto status = injected(s, KeychainTesting::Call::Update)) return *status;
  if (!hasClass(query) || attributesToUpdate.contains(kSecClass)) return errSecParam;
  return changeLocked(s, [&](std::vector<Value::Dictionary>& items) {
    bool found = false;
    for (auto& item : items) {
      if (!matches(item, query)) continue;
      found = true;
      for (const auto& [key, value] : attributesToUpdate) item[key] = value;
    }
    return found ? errSecSuccess : errSecItemNotFound;
  });
}

OSStatus SecItemDelete(const Value::Dictionary& query) {
  Store& s = store();
  MutexLock lock(s.mutex);
  if (auto status = injected(s, KeychainTesting::Call::Delete)) return *status;
  if (!hasClass(query)) return errSecParam;
  return changeLocked(s, [&](std::vector<Value::Dictionary>& items) {
    const auto count = items.size();
    std::erase_if(items, [&](const Value::Dictionary& item) { return matches(item, query); });
    return items.size() == count ? errSecItemNotFound : errSecSuccess;
  });
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
