// Bundles: a folder of resources with an Info.plist and localisation tables. The main bundle is
// the app's resources/ folder.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {

class Bundle {
 public:
  // The app's resources: $FOCUS_RESOURCES, else $FOCUS_SOURCE_DIR/resources, else the nearest
  // "resources" folder holding an Info.plist beside the executable's folder or above it.
  static std::shared_ptr<Bundle> main();
  // Points the main bundle elsewhere (tests); an empty path goes back to the located one.
  static void setMainPath(const std::filesystem::path& path);
  // The bundle in a folder, or null when there is no such folder.
  static std::shared_ptr<Bundle> at(const std::filesystem::path& path);

  explicit Bundle(std::filesystem::path path);

  const std::filesystem::path& bundlePath() const { return path_; }
  // Info.plist as a dictionary; empty when missing or unreadable.
  const Value::Dictionary& infoDictionary() const;
  Value objectForInfoDictionaryKey(std::string_view key) const;
  // "CFBundleIdentifier", empty when absent.
  std::string bundleIdentifier() const;

  // Looks in the bundle's folder, then its localisation folders (en.lproj, Base.lproj, others),
  // then its other direct subfolders. An empty `extension` takes `name` as the whole file name.
  std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view extension) const;
  // From "<table>.strings" ("Localizable" when `table` is empty); when the key is missing,
  // `value` if it is not empty, else the key itself.
  std::string localizedString(std::string_view key, std::string_view value = {}, std::string_view table = {}) const;

  // The platform's strings-file syntax ("key" = "value"; with comments and escapes), in UTF-8 or
  // UTF-16 with a byte-order mark, or a property-list dictionary of strings.
  static std::optional<std::map<std::string, std::string, std::less<>>> parseStringsFile(const Data& bytes,
                                                                                           Error* error = nullptr);

 private:
  using Table = std::map<std::string, std::string, std::less<>>;
  const Table& table(std::string_view name) const;

  std::filesystem::path path_;
  mutable std::once_flag infoOnce_;
  mutable Value::Dictionary info_;
  mutable Mutex tablesMutex_;
  mutable std::map<std::string, std::shared_ptr<const Table>, std::less<>> tables_ GUARDED_BY(tablesMutex_);
};

}  // namespace platform
