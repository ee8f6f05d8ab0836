// The photo library's objects as an app sees them: assets (saved images), asset collections
// (albums), placeholders of objects a change block is creating, and fetches of them.
//
// The library lives in the home's Photos folder: every image is a PNG file there, and each user
// album is a folder of its own holding its images (a title that cannot be a folder name, or that
// another album's folder already took, lives in a differently named folder with a ".title" file
// naming it). An album's identifier is its folder's name; an asset's is its file name without
// ".png". Fetches find nothing while the app has no read access.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

// An object of the library by its identifier.
class PhotoObject {
 public:
  explicit PhotoObject(std::string localIdentifier) : localIdentifier_(std::move(localIdentifier)) {}
  virtual ~PhotoObject() = default;
  const std::string& localIdentifier() const { return localIdentifier_; }

 private:
  std::string localIdentifier_;
};

// Stands for an asset or collection that a change block creates; its identifier is the one the
// object has once the changes are applied.
class ObjectPlaceholder : public PhotoObject {
 public:
  using PhotoObject::PhotoObject;
};

// The platform's collection type and subtype values.
enum class AssetCollectionType : std::int64_t { Album = 1, SmartAlbum = 2, Moment = 3 };
enum class AssetCollectionSubtype : std::int64_t {
  AlbumRegular = 2,
  Any = std::numeric_limits<std::int64_t>::max(),
};

// Criteria of a fetch. The predicate compares one key with one argument: "<key> = %@" (or "=="),
// keys "title", "localizedTitle" and "localIdentifier"; an empty format matches everything. Any
// other format raises NSInvalidArgumentException when the fetch runs.
struct FetchOptions {
  std::string predicateFormat;
  Value::Array predicateArguments;

  static FetchOptions withPredicate(std::string format, Value::Array arguments) {
    return FetchOptions{std::move(format), std::move(arguments)};
  }
};

template <class T>
class FetchResult {
 public:
  FetchResult() = default;
  explicit FetchResult(std::vector<std::shared_ptr<T>> objects) : objects_(std::move(objects)) {}
  std::size_t count() const { return objects_.size(); }
  std::shared_ptr<T> firstObject() const { return objects_.empty() ? nullptr : objects_.front(); }
  std::shared_ptr<T> objectAtIndex(std::size_t index) const {
    return index < objects_.size() ? objects_[index] : nullptr;
  }
  const std::vector<std::shared_ptr<T>>& objects() const { return objects_; }

 private:
  std::vector<std::shared_ptr<T>> objects_;
};

class AssetCollection : public PhotoObject {
 public:
  // User albums of that type and subtype, oldest first (by folder name), filtered by the options.
  static FetchResult<AssetCollection> fetchAssetCollectionsWithType(AssetCollectionType type,
                                                                    AssetCollectionSubtype subtype,
                                                                    const FetchOptions* options = nullptr);

  AssetCollection(std::string localIdentifier, std::string title, std::filesystem::path folder)
      : PhotoObject(std::move(localIdentifier)), title_(std::move(title)), folder_(std::move(folder)) {}

  const std::string& localizedTitle() const { return title_; }
  AssetCollectionType assetCollectionType() const { return AssetCollectionType::Album; }
  AssetCollectionSubtype assetCollectionSubtype() const { return AssetCollectionSubtype::AlbumRegular; }
  // Where the album's images are.
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::string title_;
  std::filesystem::path folder_;
};

class Asset : public PhotoObject {
 public:
  // The images of an album, by file name.
  static FetchResult<Asset> fetchAssetsInAssetCollection(const AssetCollection& collection,
                                                         const FetchOptions* options = nullptr);
  // Every image of the library, by file name.
  static FetchResult<Asset> fetchAssets(const FetchOptions* options = nullptr);

  Asset(std::string localIdentifier, std::filesystem::path file)
      : PhotoObject(std::move(localIdentifier)), file_(std::move(file)) {}
  // The image's PNG file.
  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace platform
