#include "sdk/crash/launch/rlz_file_manager.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/foundation/error.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"

namespace {

namespace fs = std::filesystem;

std::string join(const std::string& a, std::string_view b) { return (fs::path(a) / b).string(); }

struct MarkerCheck {
  platform::Mutex mutex;
  bool checked GUARDED_BY(mutex) = false;
};

MarkerCheck& markerCheck() {
  static MarkerCheck check;
  return check;
}

}  // namespace

RLZFileManager::RLZFileManager()
    : cachesPath_(platform::Home::caches().string()),
      rootPath_(join(join(cachesPath_, "com.ralitoze.data"), pathNamespace())) {}

std::string RLZFileManager::versionedPath() const { return join(rootPath_, "v5"); }
std::string RLZFileManager::structurePath() const { return join(versionedPath(), "reports"); }
std::string RLZFileManager::activePath() const { return join(structurePath(), "active"); }
std::string RLZFileManager::pendingPath() const { return join(structurePath(), "pending"); }
std::string RLZFileManager::processingPath() const { return join(structurePath(), "processing"); }
std::string RLZFileManager::preparedPath() const { return join(structurePath(), "prepared"); }
std::string RLZFileManager::settingsDirectoryPath() const { return join(versionedPath(), "settings"); }
std::string RLZFileManager::settingsFilePath() const { return join(settingsDirectoryPath(), "settings.json"); }
std::string RLZFileManager::settingsCacheKeyPath() const { return join(settingsDirectoryPath(), "cache-key.json"); }
std::string RLZFileManager::pathNamespace() { return RLZApplicationGetBundleIdentifier(); }

std::vector<std::string> RLZFileManager::contentsOfDirectory(const std::string& path) const {
  std::vector<std::string> paths;
  const auto names = platform::FileManager::defaultManager().contentsOfDirectory(path);
  if (!names) return paths;
  for (const auto& name : *names) {
    if (name.starts_with(".")) continue;
    paths.push_back(join(path, name));
  }
  return paths;
}

std::vector<std::string> RLZFileManager::reportDirectoriesIn(const std::string& stagePath) const {
  std::vector<std::string> directories;
  for (auto& path : contentsOfDirectory(stagePath)) {
    const auto attributes = platform::FileManager::defaultManager().attributesOfItem(path);
    if (!attributes) continue;  // gone meanwhile
    if (attributes->type != platform::FileType::Directory) {
      RLZErrorLog("Skipping %@: not a report directory", path);
      continue;
    }
    directories.push_back(std::move(path));
  }
  return directories;
}

void RLZFileManager::enumerateFilesInDirectory(
    const std::string& path, const std::function<void(const std::string& path, const std::string& extension)>& block) {
  if (!block) return;
  for (const auto& entry : contentsOfDirectory(path)) {
    std::string extension = fs::path(entry).extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    block(entry, extension);
  }
}

bool RLZFileManager::fileExistsAtPath(const std::string& path) const {
  return platform::FileManager::defaultManager().fileExists(path);
}

bool RLZFileManager::createFileAtPath(const std::string& path, const std::optional<platform::Data>& contents) {
  return platform::FileManager::defaultManager().writeAtomically(path, contents.value_or(platform::Data{}));
}

bool RLZFileManager::createDirectoryAtPath(const std::string& path) {
  platform::Error error;
  if (!platform::FileManager::defaultManager().createDirectory(path, true, &error)) {
    RLZErrorLog("Unable to create directory %@", error.description());
    return false;
  }
  ::chmod(path.c_str(), 0755);
  return true;
}

bool RLZFileManager::removeItemAtPath(const std::optional<std::string>& path) {
  if (!path) return false;
  platform::Error error;
  if (!platform::FileManager::defaultManager().removeItem(*path, &error)) {
    RLZErrorLog("Failed to remove file %@: %@", *path, error.description());
    return false;
  }
  return true;
}

bool RLZFileManager::removeContentsOfDirectoryAtPath(const std::string& path) {
  bool all = true;
  for (const auto& entry : contentsOfDirectory(path)) all = removeItemAtPath(entry) && all;
  return all;
}

bool RLZFileManager::moveItemAtPath(const std::optional<std::string>& path,
                                    const std::optional<std::string>& directory) {
  if (!path || !directory) {
    RLZErrorLog("Failed to move file, inputs invalid");
    return false;
  }
  platform::Error error;
  const std::string destination = join(*directory, fs::path(*path).filename().string());
  if (!platform::FileManager::defaultManager().moveItem(*path, destination, &error)) {
    RLZErrorLog("Failed to move file: %@", error.description());
    return false;
  }
  return true;
}

bool RLZFileManager::moveItemAtPath(const std::string& source, const std::string& destination,
                                    platform::Error* error) {
  return platform::FileManager::defaultManager().moveItem(source, destination, error);
}

std::optional<std::uint64_t> RLZFileManager::fileSizeAtPath(const std::string& path) {
  platform::Error error;
  const auto attributes = platform::FileManager::defaultManager().attributesOfItem(path, &error);
  if (!attributes) {
    RLZErrorLog("Unable to read file size: %@", error.description());
    return std::nullopt;
  }
  return attributes->size;
}

std::optional<platform::Data> RLZFileManager::dataWithContentsOfFile(const std::string& path,
                                                                     std::uint64_t limit) const {
  bool truncated = false;
  platform::Error error;
  auto data = platform::FileManager::defaultManager().contentsOfRegularFile(path, limit, &error, &truncated);
  if (!data) {
    // A missing file is the common case (nothing cached yet) and says nothing about the folder.
    const auto& posix = error.underlyingError();
    if (posix && posix->code() != ENOENT) RLZErrorLog("Not reading %@: %@", path, error.description());
    return std::nullopt;
  }
  if (truncated) {
    RLZErrorLog("Not reading %@: larger than %@ bytes", path, std::to_string(limit));
    return std::nullopt;
  }
  return data;
}

bool RLZFileManager::createReportDirectories() {
  for (const auto& path : {activePath(), processingPath(), preparedPath()}) {
    if (!createDirectoryAtPath(path)) return false;
  }
  return true;
}

std::optional<std::string> RLZFileManager::setupNewPathForExecutionIdentifier(const std::string& executionIdentifier) {
  const std::string path = join(activePath(), executionIdentifier);
  if (!createDirectoryAtPath(path)) return std::nullopt;
  return path;
}

bool RLZFileManager::didCrashOnPreviousExecution() {
  auto& check = markerCheck();
  platform::MutexLock lock(check.mutex);
  if (!check.checked) {
    check.checked = true;
    crashFileMarkerExists_ = fileExistsAtPath(join(rootPath_, kRLZPreviouslyCrashedFileName));
  }
  return crashFileMarkerExists_;
}

bool RLZFileManager::metricKitDiagnosticFileExists() const {
  return !contentsOfDirectory(cachesPath_ + "/MetricKit/Diagnostics/").empty();
}

bool RLZFileManager::createEmptyMetricKitFile(const std::string& reportPath) {
  return createFileAtPath(join(reportPath, "metric_kit_fatal.rlzrecord"), std::nullopt);
}

void RLZFileManager::resetCrashMarkerCheckForTesting() {
  auto& check = markerCheck();
  platform::MutexLock lock(check.mutex);
  check.checked = false;
}
