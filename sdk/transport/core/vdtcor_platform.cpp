#include "sdk/transport/core/vdtcor_platform.h"

#include <mutex>
#include <set>
#include <vector>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics_metadata.h"

namespace fs = std::filesystem;

namespace {

// Directories this process has made (or found), so that each is made once rather than on every
// store. A removal is noticed by the operation it makes fail, which forgets them all.
struct MadeDirectories {
  platform::Mutex mutex;
  std::set<fs::path> paths GUARDED_BY(mutex);
  std::uint64_t creations GUARDED_BY(mutex) = 0;
};

MadeDirectories& madeDirectories() {
  static auto* made = new MadeDirectories;
  return *made;
}

}  // namespace

bool VDTCORCreateDirectoryOnce(const fs::path& path, platform::Error* error) {
  MadeDirectories& made = madeDirectories();
  {
    platform::MutexLock lock(made.mutex);
    if (made.paths.contains(path)) return true;
  }
  auto& files = platform::FileManager::defaultManager();
  // Each directory's name lives in its parent: synced there, the directory and the files synced
  // into it later survive a power cut. Done once a process for one that was there already, as the
  // process that made it may have ended before its sync.
  std::vector<fs::path> named{path};
  for (fs::path p = path.parent_path(); !p.empty() && p != p.parent_path() && !files.fileExists(p); p = p.parent_path()) {
    named.push_back(p);
  }
  if (!files.createDirectory(path, true, error)) return false;
  for (const fs::path& directory : named) {
    if (directory.has_parent_path() && !files.syncDirectory(directory.parent_path(), error)) return false;
  }
  platform::MutexLock lock(made.mutex);
  for (fs::path p = path; !p.empty() && made.paths.insert(p).second; p = p.parent_path()) {
    if (p == p.parent_path()) break;
  }
  ++made.creations;
  return true;
}

void VDTCORForgetCreatedDirectories() {
  MadeDirectories& made = madeDirectories();
  platform::MutexLock lock(made.mutex);
  made.paths.clear();
}

std::uint64_t VDTCORDirectoryCreationsForTesting() {
  MadeDirectories& made = madeDirectories();
  platform::MutexLock lock(made.mutex);
  return made.creations;
}

fs::path VDTCORStorageRootURL() {
  // Taken from the home on every call: tests move the home.
  const fs::path root = platform::Home::caches() / "videzu-sdks-events";
  static std::once_flag logged;
  std::call_once(logged, [&] { VDTCORLogDebug("VDT's state will be saved to: %@", root.string()); });
  platform::Error error;
  const bool created = VDTCORCreateDirectoryOnce(root, &error);
  VDTCORAssert(created, "There was an error creating VDT's path");
  return root;
}

std::string VDTCORHardwareModel() {
  // Never destroyed: an upload on a worker may still describe the device while the process exits.
  static const std::string* const model = [] {
    if (auto machine = platform::SystemInfo::machine(); machine && !machine->empty()) return new std::string(*machine);
    return new std::string(platform::SystemInfo::model());
  }();
  return *model;
}

void VDTCORRegisterArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::CodableClasses::registerClass<VDTCORClock>(std::string(kVDTCORClockClassName));
    platform::CodableClasses::registerClass<VDTCOREvent>(std::string(kVDTCOREventClassName));
    platform::CodableClasses::registerClass<VDTCORLogSourceMetrics>(std::string(kVDTCORLogSourceMetricsClassName));
    platform::CodableClasses::registerClass<VDTCORMetricsMetadata>(std::string(kVDTCORMetricsMetadataClassName));
  });
}

namespace {

bool createParentDirectory(const fs::path& path, platform::Error* error) {
  platform::Error local;
  if (VDTCORCreateDirectoryOnce(path.parent_path(), &local)) return true;
  VDTCORLogDebug("Attempt to create directory failed: path:%@ error:%@", path.string(), local);
  platform::setError(error, std::move(local));
  return false;
}

}  // namespace

std::optional<platform::Data> VDTCORArchiveObject(const std::shared_ptr<const platform::Codable>& object,
                                                  const fs::path& path, platform::Error* error) {
  VDTCORRegisterArchivableClasses();
  if (!path.empty() && !createParentDirectory(path, error)) return std::nullopt;
  platform::Error local;
  auto data = platform::KeyedArchiver::archivedDataWithRootObject(object, true, &local);
  if (!data) {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "Encoding an object failed: %@", local);
    platform::setError(error, std::move(local));
    return std::nullopt;
  }
  if (!path.empty()) VDTCORWriteFile(*data, path, error);
  return data;
}

std::shared_ptr<platform::Codable> VDTCORUnarchiveData(std::string_view className, const platform::Data& data,
                                                       platform::Error* error) {
  VDTCORRegisterArchivableClasses();
  platform::Error local;
  auto object = platform::KeyedUnarchiver::unarchivedObjectOfClass(className, data, &local).object();
  if (!object && !local) {
    // The archive was readable but its object refused itself (an event without payload bytes).
    local = platform::Error(std::string(platform::kCocoaErrorDomain), platform::kCoderReadCorruptError,
                            {{std::string(platform::kDebugDescriptionErrorKey),
                              platform::Value(platform::format("The archive holds no valid %@.", className))}});
  }
  if (!object) platform::setError(error, std::move(local));
  return object;
}

std::shared_ptr<platform::Codable> VDTCORUnarchiveObject(std::string_view className, const fs::path& path,
                                                         platform::Error* error) {
  auto data = platform::FileManager::defaultManager().contentsAtPath(path, error);
  if (!data) return nullptr;
  return VDTCORUnarchiveData(className, *data, error);
}

namespace {

bool writeFile(const platform::Data& data, const fs::path& path, bool syncDirectory, platform::Error* error) {
  if (path.empty()) return false;
  if (!createParentDirectory(path, error)) return false;
  platform::Error local;
  auto& files = platform::FileManager::defaultManager();
  auto write = [&] {
    return syncDirectory ? files.writeAtomically(path, data, 0644, &local)
                         : files.writeAtomicallyWithoutDirectorySync(path, data, 0644, &local);
  };
  bool written = write();
  if (!written && !files.fileExists(path.parent_path())) {
    // Removed since it was made: made again, once.
    VDTCORForgetCreatedDirectories();
    local = platform::Error();
    written = createParentDirectory(path, &local) && write();
  }
  if (!written) {
    VDTCORLogDebug("Attempt to write archive failed: path:%@ error:%@", path.string(), local);
    platform::setError(error, std::move(local));
    return false;
  }
  VDTCORLogDebug("Writing archive succeeded: %@", path.string());
  return true;
}

}  // namespace

bool VDTCORWriteFile(const platform::Data& data, const fs::path& path, platform::Error* error) {
  return writeFile(data, path, true, error);
}

bool VDTCORWriteFileWithoutDirectorySync(const platform::Data& data, const fs::path& path, platform::Error* error) {
  return writeFile(data, path, false, error);
}
