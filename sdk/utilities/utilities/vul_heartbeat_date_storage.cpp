#include "sdk/utilities/utilities/vul_heartbeat_date_storage.h"


#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/keyed_archive.h"
#include "sdk/utilities/utilities/vul_secure_coding.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

// One lock for every file store of the process, whatever its file.
platform::Mutex& classLock() {
  static auto* m = new platform::Mutex;
  return *m;
}

}  // namespace

std::shared_ptr<VULHeartbeatDateStorage> VULHeartbeatDateStorage::initWithFileName(std::string_view fileName) {
  if (fileName.empty()) return nullptr;
  return std::make_shared<VULHeartbeatDateStorage>(Private{}, std::string(fileName));
}

VULHeartbeatDateStorage::VULHeartbeatDateStorage(Private, std::string fileName) : fileName_(std::move(fileName)) {}

std::filesystem::path VULHeartbeatDateStorage::directoryPathURL() {
  return platform::Home::applicationSupport() / std::string(kVULHeartbeatStorageDirectory);
}

void VULHeartbeatDateStorage::checkAndCreateDirectory(const std::filesystem::path& directory) {
  bool isDirectory = false;
  if (platform::FileManager::defaultManager().fileExists(directory, &isDirectory) && isDirectory) return;
  // A failure shows later as a failed write.
  platform::FileManager::defaultManager().createDirectory(directory, true);
}

const std::filesystem::path& VULHeartbeatDateStorage::fileURL() {
  if (!fileURL_) {
    const auto directory = directoryPathURL();
    checkAndCreateDirectory(directory);
    fileURL_ = directory / fileName_;
  }
  return *fileURL_;
}

// A dictionary of a few dates; a larger file is not one.
constexpr std::uint64_t kMaxHeartbeatFileBytes = std::uint64_t{1} << 20;

Value::Dictionary VULHeartbeatDateStorage::heartbeatDictionaryWithFileURL(const std::filesystem::path& file) {
  const auto data = platform::FileManager::defaultManager().contentsOfRegularFileNoLargerThan(file, kMaxHeartbeatFileBytes);
  if (!data || data->empty()) return {};
  platform::Error error;
  const platform::ArchiveObject object = VULSecureCoding::unarchivedObjectOfClasses(
      {std::string(platform::ArchiveClass::kDictionary), std::string(platform::ArchiveClass::kDate),
       std::string(platform::ArchiveClass::kString)},
      *data, &error);
  const Value::Dictionary* dictionary = object.value().ifDictionary();
  if (error || !dictionary || dictionary->empty()) return {};
  return *dictionary;
}

bool VULHeartbeatDateStorage::writeDictionary(const Value::Dictionary& dictionary, const std::filesystem::path& file,
                                              platform::Error* error) {
  const auto data = VULSecureCoding::archivedDataWithRootObject(Value(dictionary), error);
  if (!data || data->empty()) return false;
  return platform::FileManager::defaultManager().writeAtomically(file, *data, 0644, error);
}

std::optional<platform::Date> VULHeartbeatDateStorage::heartbeatDateForTag(std::string_view tag) {
  platform::MutexLock lock(classLock());
  const auto dictionary = heartbeatDictionaryWithFileURL(fileURL());
  const auto it = dictionary.find(tag);
  if (it == dictionary.end()) return std::nullopt;
  if (const platform::Date* date = it->second.ifDate()) return *date;
  return std::nullopt;
}

bool VULHeartbeatDateStorage::setHearbeatDate(platform::Date date, std::string_view tag) {
  platform::MutexLock lock(classLock());
  const auto& file = fileURL();
  Value::Dictionary dictionary = heartbeatDictionaryWithFileURL(file);
  dictionary[std::string(tag)] = Value(date);
  return writeDictionary(dictionary, file, nullptr);
}
