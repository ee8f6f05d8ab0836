#include "platform/foundation/privacy_store.h"

#include <string>
#include <system_error>

#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/thread_safety.h"

namespace platform::PrivacyStore {

namespace {

constexpr mode_t kPrivacyMode = 0600;
// A few answers per service: anything near this is not the store.
constexpr std::uint64_t kMaxPrivacyFileBytes = std::uint64_t{1} << 20;

// Services write from their own queues; a read-modify-write must not lose another's answer.
Mutex& fileMutex() {
  static auto* mutex = new Mutex;
  return *mutex;
}

// The dictionary on disk, an empty one for a missing or damaged file, none when the file could
// not be read (it may be sound: a write must not replace it).
std::optional<Value::Dictionary> readLocked(const std::filesystem::path& file, Error* error = nullptr)
    REQUIRES(fileMutex()) {
  auto& files = FileManager::defaultManager();
  if (!files.fileExists(file)) return Value::Dictionary{};
  Error readError;
  auto bytes = files.contentsOfRegularFileNoLargerThan(file, kMaxPrivacyFileBytes, &readError);
  if (!bytes) {
    Console::systemLog("Privacy: cannot read " + file.string() + " (" + readError.description() +
                       "); every permission counts as not determined");
    setError(error, readError);
    return std::nullopt;
  }
  auto value = PropertyList::read(*bytes);
  if (!value || !value->isDictionary()) {
    Console::systemLog("Privacy: " + file.string() +
                       " is not a dictionary property list; every permission counts as not determined");
    return Value::Dictionary{};
  }
  return *value->ifDictionary();
}

}  // namespace

std::filesystem::path path() { return Home::path() / "System" / "Privacy.plist"; }

std::optional<std::int64_t> status(std::string_view service) {
  MutexLock lock(fileMutex());
  const auto stored = readLocked(path());
  if (!stored) return std::nullopt;
  auto it = stored->find(service);
  if (it == stored->end() || !it->second.ifInteger()) return std::nullopt;
  return *it->second.ifInteger();
}

bool setStatus(std::string_view service, std::int64_t status, Error* error) {
  MutexLock lock(fileMutex());
  const auto file = path();
  // Only the one level: a home that is gone (a test's, removed) must not come back.
  std::error_code ec;
  std::filesystem::create_directory(file.parent_path(), ec);
  auto stored = readLocked(file, error);
  if (!stored) return false;
  (*stored)[std::string(service)] = Value(status);
  auto bytes = PropertyList::write(Value(std::move(*stored)), PropertyList::Format::XML, error);
  if (!bytes) return false;
  return FileManager::defaultManager().writeAtomically(file, *bytes, kPrivacyMode, error);
}

}  // namespace platform::PrivacyStore
