#include "sdk/analytics/storage/apm_storage_paths.h"

#include <filesystem>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/user_defaults.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"

namespace fs = std::filesystem;

namespace {

platform::FileManager& files() { return platform::FileManager::defaultManager(); }

// The measurement settings; a larger file is moved whole rather than read.
constexpr std::uint64_t kAPMMaxMeasurementPlistBytes = std::uint64_t{8} << 20;

}  // namespace

// Linux has no per-file backup exclusion: the stand-in only checks that the path names a file,
// as the platform's resource-value call fails for a missing one. The immutable-file flag of the
// store layer is likewise absent here.
bool APMExcludePathFromBackup(const std::string& path, platform::Error* error) {
  if (path.empty() || !files().fileExists(path)) {
    APMSetError(error, 4, "The file does not exist.");
    return false;
  }
  return true;
}

std::string APMPreferencesPlistPath(std::string_view suite) {
  if (suite.empty()) return {};
  const fs::path library = platform::Home::library();
  if (library.empty()) {
    APMLog(2, 19000, "NSSearchPath for Library directory is empty");
    return {};
  }
  return (library / "Preferences" / (std::string(suite) + ".plist")).string();
}

std::string APMMeasurementFilePath(std::string_view name) {
  if (name.empty()) return {};
  const fs::path support = platform::Home::applicationSupport();
  if (support.empty()) {
    APMLog(2, 19001, "NSSearchPath for ApplicationSupport directory is empty");
    return {};
  }
  return (support / kAPMMeasurementDirectory / std::string(name)).string();
}

std::string APMMeasurementPlistPath(std::string_view name) {
  if (name.empty()) return {};
  std::string file(name);
  if (fs::path(file).extension() != ".plist") file += ".plist";
  return APMMeasurementFilePath(file);
}

bool APMDeleteFileAtPath(const std::string& path, platform::Error* error) {
  if (path.empty()) {
    APMSetError(error, 1, "Received empty path for deleting file");
    return false;
  }
  return files().removeItem(path, error);
}

bool APMDeleteDatabaseFileAtPath(const std::string& path, platform::Error* error) {
  if (path.empty()) return APMDeleteFileAtPath(path, error);
  // The journal goes first: one outliving its database would be replayed into the file made next
  // in its place.
  std::error_code ignored;
  fs::remove(path + "-journal", ignored);
  return APMDeleteFileAtPath(path, error);
}

bool APMMoveFile(const std::string& source, const std::string& destination, bool replaceExisting) {
  if (source.empty() || destination.empty()) return false;
  bool sourceIsDirectory = false;
  if (!files().fileExists(source, &sourceIsDirectory)) return true;
  if (sourceIsDirectory) return false;
  bool destinationIsDirectory = false;
  if (files().fileExists(destination, &destinationIsDirectory)) {
    if (destinationIsDirectory) return false;
    if (!replaceExisting) return APMDeleteFileAtPath(source, nullptr);
    if (!APMDeleteFileAtPath(destination, nullptr)) return false;
  }
  if (!files().createDirectory(fs::path(destination).parent_path(), true)) return false;
  return files().moveItem(source, destination);
}

bool APMMigratePreferencesToApplicationSupport(std::string_view suite) {
  if (suite.empty()) return false;
  if (!APMMoveFile(APMPreferencesPlistPath(suite), APMMeasurementPlistPath(suite), false)) return false;
  if (auto defaults = platform::UserDefaults::suite(suite)) defaults->removePersistentDomain();
  return true;
}

bool APMMigrateApplicationSupportToPreferences(std::string_view suite) {
  if (suite.empty()) return false;
  const std::string source = APMMeasurementPlistPath(suite);
  std::optional<platform::Value::Dictionary> moved;
  if (auto bytes = files().contentsOfRegularFileNoLargerThan(source, kAPMMaxMeasurementPlistBytes)) {
    if (auto plist = platform::PropertyList::read(*bytes); plist && plist->isDictionary()) {
      moved = *plist->ifDictionary();
    }
  }
  const auto defaults = moved ? platform::UserDefaults::suite(suite) : nullptr;
  if (!defaults) return APMMoveFile(source, APMPreferencesPlistPath(suite), true);
  // The values are written to the preferences file, and that write has reached the disk, before
  // the old copy goes: a process killed in between finds them in one place or the other. The
  // preferences system serves them at once, with no cached copy of older values.
  defaults->removePersistentDomain();
  for (const auto& [key, value] : *moved) defaults->setObject(value, key);
  if (!defaults->synchronize()) return false;
  return APMDeleteFileAtPath(source, nullptr);
}
