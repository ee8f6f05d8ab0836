#include "app/custom_photo_album.h"

#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/photos/photo_change_request.h"
#include "platform/photos/photo_library.h"
#include "platform/photos/photo_objects.h"
#include "platform/ui/button.h"
#include "platform/ui/image.h"

namespace {

platform::Mutex& sharedMutex() {
  static platform::Mutex mutex;
  return mutex;
}

std::shared_ptr<CustomPhotoAlbum>& sharedSlot() REQUIRES(sharedMutex()) {
  static std::shared_ptr<CustomPhotoAlbum> slot;
  return slot;
}

// Whether the album is still in the library (the user may have deleted it meanwhile).
bool stillExists(const platform::AssetCollection& collection) {
  auto options =
      platform::FetchOptions::withPredicate("localIdentifier = %@", {platform::Value(collection.localIdentifier())});
  return platform::AssetCollection::fetchAssetCollectionsWithType(platform::AssetCollectionType::Album,
                                                                  platform::AssetCollectionSubtype::Any, &options)
             .count() > 0;
}

}  // namespace

std::shared_ptr<CustomPhotoAlbum> CustomPhotoAlbum::shared() {
  platform::MutexLock lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) {
    slot = std::make_shared<CustomPhotoAlbum>();
    if (auto found = fetchAssetCollection()) {
      slot->setAssetCollection(std::move(found));
    } else {
      slot->createAlbum();
    }
  }
  return slot;
}

void CustomPhotoAlbum::resetSharedForTesting() {
  platform::MutexLock lock(sharedMutex());
  sharedSlot().reset();
}

std::shared_ptr<platform::AssetCollection> CustomPhotoAlbum::fetchAssetCollection() {
  auto options = platform::FetchOptions::withPredicate("title = %@", {platform::Value(std::string(kAlbumName))});
  return platform::AssetCollection::fetchAssetCollectionsWithType(platform::AssetCollectionType::Album,
                                                                  platform::AssetCollectionSubtype::Any, &options)
      .firstObject();
}

void CustomPhotoAlbum::createAlbum() {
  std::weak_ptr<CustomPhotoAlbum> weak = weak_from_this();
  platform::PhotoLibrary::sharedPhotoLibrary()->performChanges(
      [] {
        platform::AssetCollectionChangeRequest::creationRequestForAssetCollectionWithTitle(std::string(kAlbumName));
      },
      [weak](bool success, const platform::Error*) {
        if (!success) return;
        if (auto self = weak.lock()) self->setAssetCollection(fetchAssetCollection());
      });
}

void CustomPhotoAlbum::save(const std::shared_ptr<platform::Image>& image,
                            const std::shared_ptr<platform::Button>& saveButton,
                            const std::shared_ptr<platform::Button>& titleButton,
                            const std::shared_ptr<platform::Button>& timeButton) {
  std::weak_ptr<CustomPhotoAlbum> weak = weak_from_this();
  // The card may be gone by the time the save completes.
  std::weak_ptr<platform::Button> weakSave = saveButton, weakTitle = titleButton, weakTime = timeButton;
  platform::PhotoLibrary::sharedPhotoLibrary()->performChanges(
      [weak, image] {
        auto self = weak.lock();
        if (!self) return;
        auto request = platform::AssetChangeRequest::creationRequestForAssetFromImage(image);
        auto placeholder = request->placeholderForCreatedAsset();
        auto album = self->assetCollection();
        // An album deleted since it was found would fail the whole save: the image then goes
        // to the library alone, as when the album is not known yet.
        if (album && stillExists(*album)) {
          platform::AssetCollectionChangeRequest::changeRequestForAssetCollection(album)->addAssets({placeholder});
        } else {
          self->setAssetCollection(fetchAssetCollection());
        }
      },
      [weakSave, weakTitle, weakTime](bool success, const platform::Error*) {
        if (!success) return;
        auto main = platform::DispatchQueue::main();
        auto apply = [weakSave, weakTitle, weakTime](std::string_view imageName, bool enabled) {
          auto save = weakSave.lock();
          auto title = weakTitle.lock();
          auto time = weakTime.lock();
          setButtonState(save.get(), title.get(), time.get(), imageName, enabled);
        };
        main->async([apply] { apply("saved_icon", false); });
        main->after(kSavedStateSeconds, [apply] { apply("save_btn", true); });
      });
}

void CustomPhotoAlbum::setButtonState(platform::Button* saveButton, platform::Button* titleButton,
                                      platform::Button* timeButton, std::string_view imageName, bool enabled) {
  if (saveButton) saveButton->setImage(platform::Image::named(imageName), platform::kControlStateNormal);
  if (titleButton) titleButton->setEnabled(enabled);
  if (timeButton) timeButton->setEnabled(enabled);
}

std::shared_ptr<platform::AssetCollection> CustomPhotoAlbum::assetCollection() const {
  platform::MutexLock lock(mutex_);
  return assetCollection_;
}

void CustomPhotoAlbum::setAssetCollection(std::shared_ptr<platform::AssetCollection> collection) {
  platform::MutexLock lock(mutex_);
  assetCollection_ = std::move(collection);
}
