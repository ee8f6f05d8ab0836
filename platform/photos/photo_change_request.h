// Change requests: what a change block asks of the library. They may only be made inside a
// change block of PhotoLibrary::performChanges (elsewhere they raise
// NSInternalInconsistencyException) and take effect when the block has returned.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

class AssetCollection;
class Image;
class ObjectPlaceholder;
class PhotoObject;

class AssetChangeRequest {
 public:
  // Saves the image to the library as a PNG. A null image, or one that cannot be encoded, fails
  // the whole change.
  static std::shared_ptr<AssetChangeRequest> creationRequestForAssetFromImage(const std::shared_ptr<Image>& image);

  std::shared_ptr<ObjectPlaceholder> placeholderForCreatedAsset() const { return placeholder_; }

  explicit AssetChangeRequest(std::shared_ptr<ObjectPlaceholder> placeholder) : placeholder_(std::move(placeholder)) {}

 private:
  std::shared_ptr<ObjectPlaceholder> placeholder_;
};

class AssetCollectionChangeRequest {
 public:
  // A new user album with that title (titles need not be unique).
  static std::shared_ptr<AssetCollectionChangeRequest> creationRequestForAssetCollectionWithTitle(
      const std::string& title);
  // Changes to an existing album; null for a null collection. An album gone by the time the
  // changes apply fails the whole change.
  static std::shared_ptr<AssetCollectionChangeRequest> changeRequestForAssetCollection(
      const std::shared_ptr<AssetCollection>& collection);

  std::shared_ptr<ObjectPlaceholder> placeholderForCreatedAssetCollection() const { return placeholder_; }
  // Adds assets, or placeholders of assets created in the same change block, to the album.
  void addAssets(const std::vector<std::shared_ptr<PhotoObject>>& assets);

  AssetCollectionChangeRequest(std::string collectionIdentifier, std::shared_ptr<ObjectPlaceholder> placeholder)
      : collection_(std::move(collectionIdentifier)), placeholder_(std::move(placeholder)) {}

 private:
  std::string collection_;
  std::shared_ptr<ObjectPlaceholder> placeholder_;
};

}  // namespace platform
