// The app's own album "VOZ" in the user's photo library: found by its title, created when
// missing, and the place where period cards are saved. After a save the card's buttons show the
// saved state for a moment.
#pragma once

#include <memory>
#include <string_view>

#include "platform/foundation/thread_safety.h"

namespace platform {
class AssetCollection;
class Button;
class Image;
}  // namespace platform

class CustomPhotoAlbum : public std::enable_shared_from_this<CustomPhotoAlbum> {
 public:
  static constexpr std::string_view kAlbumName = "VOZ";
  // How long the card's buttons show the saved state.
  static constexpr double kSavedStateSeconds = 1.5;

  // Made on first use: finds the album or starts creating it.
  static std::shared_ptr<CustomPhotoAlbum> shared();
  // Drops the shared instance so the next use builds a fresh one (each test starts anew).
  static void resetSharedForTesting();

  // The user album titled "VOZ", or null.
  static std::shared_ptr<platform::AssetCollection> fetchAssetCollection();
  void createAlbum();
  // Saves the image into the library and, once the album is known, into the album; on success
  // the save button shows "saved_icon" and the title and time buttons are disabled for 1.5 s.
  void save(const std::shared_ptr<platform::Image>& image, const std::shared_ptr<platform::Button>& saveButton,
            const std::shared_ptr<platform::Button>& titleButton, const std::shared_ptr<platform::Button>& timeButton);
  static void setButtonState(platform::Button* saveButton, platform::Button* titleButton, platform::Button* timeButton,
                             std::string_view imageName, bool enabled);

  std::shared_ptr<platform::AssetCollection> assetCollection() const;

  CustomPhotoAlbum() = default;
  CustomPhotoAlbum(const CustomPhotoAlbum&) = delete;
  CustomPhotoAlbum& operator=(const CustomPhotoAlbum&) = delete;

 private:
  void setAssetCollection(std::shared_ptr<platform::AssetCollection> collection);

  // Written on the photo library's queue, read there and on the main thread.
  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::AssetCollection> assetCollection_ GUARDED_BY(mutex_);
};
