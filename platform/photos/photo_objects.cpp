#include "platform/photos/photo_objects.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "platform/foundation/exception.h"
#include "platform/photos/photo_store.h"

namespace platform {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The key and the wanted value of "<key> = %@", checked against the keys the objects have.
struct Comparison {
  std::string key;
  std::optional<std::string> value;  // none: the argument is no string, so nothing equals it
};

std::optional<Comparison> parse(const FetchOptions* options, std::initializer_list<std::string_view> keys) {
  if (!options || trim(options->predicateFormat).empty()) return std::nullopt;
  std::string_view format = trim(options->predicateFormat);
  std::size_t op = format.find('=');
  bool ok = op != std::string_view::npos;
  std::string_view key, rest;
  if (ok) {
    key = trim(format.substr(0, op));
    rest = format.substr(op + 1);
    if (!rest.empty() && rest.front() == '=') rest.remove_prefix(1);
    ok = trim(rest) == "%@" && std::find(keys.begin(), keys.end(), key) != keys.end() &&
         !options->predicateArguments.empty();
  }
  if (!ok) {
    throw Exception(std::string(kInvalidArgumentException),
                    "Unsupported predicate in fetch options: " + options->predicateFormat);
  }
  const Value& argument = options->predicateArguments.front();
  Comparison comparison{std::string(key), std::nullopt};
  if (const std::string* s = argument.ifString()) comparison.value = *s;
  return comparison;
}

}  // namespace

FetchResult<AssetCollection> AssetCollection::fetchAssetCollectionsWithType(AssetCollectionType type,
                                                                            AssetCollectionSubtype subtype,
                                                                            const FetchOptions* options) {
  auto comparison = parse(options, {"title", "localizedTitle", "localIdentifier"});
  if (!photo_store::canRead() || type != AssetCollectionType::Album ||
      (subtype != AssetCollectionSubtype::Any && subtype != AssetCollectionSubtype::AlbumRegular)) {
    return {};
  }
  std::vector<std::shared_ptr<AssetCollection>> found;
  for (auto& album : photo_store::albums()) {
    if (comparison) {
      const std::string& actual = comparison->key == "localIdentifier" ? album.identifier : album.title;
      if (comparison->value != actual) continue;
    }
    found.push_back(std::make_shared<AssetCollection>(album.identifier, album.title, album.folder));
  }
  return FetchResult<AssetCollection>(std::move(found));
}

namespace {

FetchResult<Asset> assetsIn(const std::filesystem::path& folder, const FetchOptions* options) {
  auto comparison = parse(options, {"localIdentifier"});
  if (!photo_store::canRead()) return {};
  std::vector<std::shared_ptr<Asset>> found;
  for (const auto& file : photo_store::images(folder)) {
    std::string identifier = file.stem().string();
    if (comparison && comparison->value != identifier) continue;
    found.push_back(std::make_shared<Asset>(identifier, file));
  }
  return FetchResult<Asset>(std::move(found));
}

}  // namespace

FetchResult<Asset> Asset::fetchAssetsInAssetCollection(const AssetCollection& collection, const FetchOptions* options) {
  return assetsIn(collection.folder(), options);
}

FetchResult<Asset> Asset::fetchAssets(const FetchOptions* options) { return assetsIn(photo_store::root(), options); }

}  // namespace platform
