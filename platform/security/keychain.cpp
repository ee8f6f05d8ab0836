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
  // One change of the file at a time in this process, taken before the file's lock, which is taken
  // before `mutex`: a change waiting for another process's lock holds only this, and reads go on.
  Mutex changeMutex;
  Mutex mutex;
  bool loaded GUARDED_BY(mutex) = false;
  bool observing GUARDED_BY(mutex) = false;
  std::filesystem::path home GUARDED_BY(mutex);
  std::filesystem::path file GUARDED_BY(mutex);
  std::vector<Value::Dictionary> items GUARDED_BY(mutex);
  SharedFile::Version version GUARDED_BY(mutex);  // of the file `items` were read from or written to
  // The damaged file last read, and whether it could not be set aside: then reads answer errSecIO
  // without trying again, or telling again, until the file changes (a change tries again).
  SharedFile::Version damage GUARDED_BY(mutex);
  bool damageStuck GUARDED_BY(mutex) = false;
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
    s.damage = {};
    s.damageStuck = false;
  }
  return SharedFile(s.file);
}

OSStatus lockFailure(const Error& error) {
  return SharedFile::isBusy(error) ? errSecInteractionNotAllowed : errSecIO;
}

// The damaged file could not be set aside: said once for this state of the file.
OSStatus damageStuckLocked(Store& s, const SharedFile::Version& damage, const Error& error) REQUIRES(s.mutex) {
  if (!(s.damageStuck && SharedFile::sameFile(s.damage, damage))) {
    Console::log(format("Keychain: the store is damaged and could not be set aside: %@", error));
  }
  s.items.clear();
  s.version = {};
  s.damage = damage;
  s.damageStuck = true;
  return errSecIO;
}

// Brings the items up to date with the file, which other processes on the home may have
// rewritten. A damaged file is set aside, under the lock, and counts as empty; a file that cannot
// be read now is an error, so nothing is lost or overwritten on a transient failure. Without the
// lock a damaged file answers none: only the lock's holder may move the file, since a good version
// another process has just written could otherwise be the one moved.
std::optional<OSStatus> refreshLocked(Store& s, SharedFile::Lock* lock) REQUIRES(s.mutex) {
  const SharedFile file = fileOfCurrentHomeLocked(s);
  if (lock ? file.isCurrent(s.version, *lock) : file.isCurrent(s.version)) return errSecSuccess;
  if (!lock && s.damageStuck && file.isCurrent(s.damage)) return errSecIO;
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
  if (!lock) {
    if (!SharedFile::sameFile(s.damage, contents.version)) s.damageStuck = false;
    s.damage = contents.version;
    return std::nullopt;
  }
  Error error;
  auto aside = file.setAside(*lock, &error);
  if (!aside) return damageStuckLocked(s, contents.version, error);
  Console::log(format("Keychain: damaged store kept aside as %s", aside->filename().string()));
  s.items.clear();
  s.version = file.read(lock).version;
  s.damage = {};
  s.damageStuck = false;
  return errSecSuccess;
}

// The file's lock for the store of the current home, waited for without s.mutex so that reads
// go on meanwhile; none, with `error`, when it cannot be had.
std::optional<SharedFile::Lock> lockFile(Store& s, std::optional<SharedFile>& file, bool createFolder,
                                         double timeoutSeconds, Error& error) REQUIRES(s.changeMutex)
    EXCLUDES(s.mutex) {
  {
    MutexLock lock(s.mutex);
    file = fileOfCurrentHomeLocked(s);
  }
  if (createFolder && !FileManager::defaultManager().createDirectory(file->path().parent_path(), true, &error)) {
    return std::nullopt;
  }
  return file->lock(&error, timeoutSeconds);
}

// The file was damaged when last read: sets it aside, if its lock is free, and runs `use` on the
// items then; while another process holds the lock the store reads as empty.
template <class Use>
OSStatus setAsideThenUse(Store& s, Use use) REQUIRES(s.changeMutex) EXCLUDES(s.mutex) {
  for (;;) {
    std::optional<SharedFile> file;
    Error error;
    std::optional<SharedFile::Lock> held = lockFile(s, file, false, 0, error);
    MutexLock lock(s.mutex);
    if (fileOfCurrentHomeLocked(s).path() != file->path()) continue;  // the home changed meanwhile
    if (!held) {
      if (SharedFile::isBusy(error)) return use(std::vector<Value::Dictionary>{});
      return damageStuckLocked(s, s.damage, error);
    }
    const OSStatus status = *refreshLocked(s, &*held);
    return status == errSecSuccess ? use(s.items) : status;
  }
}

// Brings the items up to date and runs `use` on them under s.mutex. A read waits for no lock but
// the items' own: a damaged file that cannot be set aside at once (a change of this process,
// which sets it aside itself, or another process holds the lock) reads as an empty store.
template <class Use>
OSStatus withCurrentItems(Store& s, Use use) EXCLUDES(s.mutex, s.changeMutex) {
  {
    MutexLock lock(s.mutex);
    if (std::optional<OSStatus> status = refreshLocked(s, nullptr)) {
      return *status == errSecSuccess ? use(s.items) : *status;
    }
  }
  if (!s.changeMutex.try_lock()) return use(std::vector<Value::Dictionary>{});
  const OSStatus status = setAsideThenUse(s, use);
  s.changeMutex.unlock();
  return status;
}

// Runs a change of the items under the file's lock, on top of the file's current contents, and
// saves it; the items are restored when the save fails. `change` answers a status; only success
// is saved.
template <class Change>
OSStatus changeItems(Store& s, Change change) EXCLUDES(s.mutex, s.changeMutex) {
  MutexLock serial(s.changeMutex);
  for (;;) {
    std::optional<SharedFile> file;
    Error error;
    std::optional<SharedFile::Lock> held = lockFile(s, file, true, SharedFile::kLockTimeoutSeconds, error);
    MutexLock lock(s.mutex);
    if (fileOfCurrentHomeLocked(s).path() != file->path()) continue;  // the home changed meanwhile
    if (!held) return lockFailure(error);
    if (OSStatus status = *refreshLocked(s, &*held); status != errSecSuccess) return status;
    const auto before = s.items;
    if (OSStatus status = change(s.items); status != errSecSuccess) return status;
    Value::Array array;
    for (const auto& item : s.items) array.emplace_back(item);
    std::optional<Data> bytes = PropertyList::write(Value(std::move(array)), PropertyList::Format::Binary);
    std::optional<SharedFile::Version> written = bytes ? file->write(*held, *bytes, 0600, &error) : std::nullopt;
    if (!written) {
      s.items = before;
      s.version = {};
      return errSecIO;
    }
    s.version = *written;
    return errSecSuccess;
  }
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
std::optional<OSStatus> injectedFailure(Store& s, KeychainTesting::Call call) EXCLUDES(s.mutex) {
  MutexLock lock(s.mutex);
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
  if (result) result->reset();
  if (auto status = injectedFailure(s, KeychainTesting::Call::CopyMatching)) return *status;
  if (!hasClass(query)) return errSecParam;
  return withCurrentItems(s, [&](const std::vector<Value::Dictionary>& items) {
    for (const auto& item : items) {
      if (!matches(item, query)) continue;
      if (result) {
        auto data = item.find(kSecValueData);
        if (data != item.end() && data->second.isData()) *result = *data->second.ifData();
      }
      return errSecSuccess;
    }
    return errSecItemNotFound;
  });
}

OSStatus SecItemAdd(const Value::Dictionary& attributes) {
  Store& s = store();
  if (auto status = injectedFailure(s, KeychainTesting::Call::Add)) return *status;
  if (!hasClass(attributes)) return errSecParam;
  Value::Dictionary item;
  for (const auto& [key, value] : attributes) {
    if (key == kSecReturnData || key == kSecMatchLimit || key == kSecUseDataProtectionKeychain) continue;
    item.emplace(key, value);
  }
  return changeItems(s, [&](std::vector<Value::Dictionary>& items) {
    for (const auto& existing : items) {
      if (matches(existing, item)) return errSecDuplicateItem;
    }
    items.push_back(std::move(item));
    return errSecSuccess;
  });
}

OSStatus SecItemUpdate(const Value::Dictionary& query, const Value::Dictionary& attributesToUpdate) {
  Store& s = store();
  if (auto status = injectedFailure(s, KeychainTesting::Call::Update)) return *status;
  if (!hasClass(query) || attributesToUpdate.contains(kSecClass)) return errSecParam;
  return changeItems(s, [&](std::vector<Value::Dictionary>& items) {
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
  if (auto status = injectedFailure(s, KeychainTesting::Call::Delete)) return *status;
  if (!hasClass(query)) return errSecParam;
  return changeItems(s, [&](std::vector<Value::Dictionary>& items) {
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
