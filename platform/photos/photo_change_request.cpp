#include "platform/photos/photo_change_request.h"

#include "platform/photos/photo_objects.h"
#include "platform/photos/photo_store.h"
#include "platform/ui/image.h"

namespace platform {

using photo_store::Change;

std::shared_ptr<AssetChangeRequest> AssetChangeRequest::creationRequestForAssetFromImage(
    const std::shared_ptr<Image>& image) {
  Change& change = Change::requireCurrent();
  Data png = image ? image->pngData() : Data{};
  std::string identifier = change.reserveAssetIdentifier();
  if (png.empty()) {
    change.failure = photo_store::photosError(kPhotosErrorInvalidResource, "The image cannot be saved");
  } else {
    change.newAssets.push_back({identifier, std::move(png)});
  }
  return std::make_shared<AssetChangeRequest>(std::make_shared<ObjectPlaceholder>(identifier));
}

std::shared_ptr<AssetCollectionChangeRequest> AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle(
    const std::string& title) {
  Change& change = Change::requireCurrent();
  std::string folder = change.reserveAlbumFolder(title);
  change.newAlbums.push_back({folder, title});
  return std::make_shared<AssetCollectionChangeRequest>(folder, std::make_shared<ObjectPlaceholder>(folder));
}

std::shared_ptr<AssetCollectionChangeRequest> AssetCollectionChangeRequest::changeRequestForAssetCollection(
    const std::shared_ptr<AssetCollection>& collection) {
  Change::requireCurrent();
  if (!collection) return nullptr;
  return std::make_shared<AssetCollectionChangeRequest>(collection->localIdentifier(), nullptr);
}

void AssetCollectionChangeRequest::addAssets(const std::vector<std::shared_ptr<PhotoObject>>& assets) {
  Change& change = Change::requireCurrent();
  Change::Addition addition{collection_, {}};
  for (const auto& asset : assets) {
    if (asset) addition.assets.push_back(asset->localIdentifier());
  }
  change.additions.push_back(std::move(addition));
}

}  // namespace platform
