#include "platform/media/data_asset.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "platform/foundation/bundle.h"
#include "platform/foundation/thread_safety.h"
#include "platform/media/media_driver.h"
#include "platform/media/media_state.h"

namespace platform {

namespace {

struct SearchOverride {
  Mutex mutex;
  std::filesystem::path directory GUARDED_BY(mutex);
};

SearchOverride& searchOverride() {
  // Never destroyed: sounds are loaded on a worker, which may still be at it while the process exits.
  static SearchOverride* const searchOverride = new SearchOverride;
  return *searchOverride;
}

// Names come from the app's code, but never let one climb out of the catalogue.
bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::optional<Data> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace

void DataAsset::setSearchDirectory(std::filesystem::path directory) {
  SearchOverride& o = searchOverride();
  MutexLock lock(o.mutex);
  o.directory = std::move(directory);
}

std::filesystem::path DataAsset::searchDirectory() {
  {
    SearchOverride& o = searchOverride();
    MutexLock lock(o.mutex);
    if (!o.directory.empty()) return o.directory;
  }
  auto bundle = Bundle::main();
  return bundle ? bundle->bundlePath() / "Assets" : std::filesystem::path();
}

std::shared_ptr<DataAsset> DataAsset::make(const std::string& name) {
  if (!isPlainName(name)) return nullptr;
  if (auto fault = MediaDriver::assetFault(name)) {
    if (*fault == MediaDriver::AssetFault::Missing) return nullptr;
    // Bytes of no sound format: an asset damaged on disk, which opens but never decodes.
    static constexpr std::string_view kDamaged = "not a sound: the asset's file is damaged";
    return std::make_shared<DataAsset>(name, Data(kDamaged.begin(), kDamaged.end()), "wav");
  }
  const auto directory = searchDirectory();
  if (directory.empty()) return nullptr;
  std::error_code ec;
  // The first match in name order, so that the same catalogue always gives the same bytes.
  std::optional<std::filesystem::path> found;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const auto& path = it->path();
    if (path.stem() != name || !it->is_regular_file(ec)) continue;
    if (!found || path.filename() < found->filename()) found = path;
  }
  if (!found) return nullptr;
  auto bytes = readFile(*found);
  if (!bytes) return nullptr;
  {
    auto& s = MediaState::shared();
    MutexLock lock(s.mutex);
    s.assetNames[MediaState::hashOf(*bytes)] = name;
  }
  std::string type = found->extension().string();
  if (!type.empty()) type.erase(0, 1);
  return std::make_shared<DataAsset>(name, std::move(*bytes), std::move(type));
}

}  // namespace platform
