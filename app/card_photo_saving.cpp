#include "app/card_photo_saving.h"

#include "app/card_view_controller.h"
#include "app/custom_photo_album.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "platform/photos/photo_library.h"

namespace {

// Main thread.
void renderAndSave(const std::weak_ptr<CardViewController>& weak) {
  auto card = weak.lock();
  if (!card) return;
  auto image = card->renderCardImage();
  CustomPhotoAlbum::shared()->save(image, card->saveButton(), card->titleButton(), card->timeButton());
}

}  // namespace

void saveCardToPhotoAlbum(std::weak_ptr<CardViewController> card) {
  using Status = platform::PhotoAuthorizationStatus;
  switch (platform::PhotoLibrary::authorizationStatusForAccessLevel(platform::PhotoAccessLevel::ReadWrite)) {
    case Status::NotDetermined:
      platform::PhotoLibrary::requestAuthorization([card](Status answer) {
        if (answer == Status::Denied) {
          platform::Console::print("Photo access denied");
        } else if (answer == Status::Authorized || answer == Status::Limited) {
          // Limited access saves as it does when it was granted earlier: the user asked to save.
          platform::DispatchQueue::main()->async([card] { renderAndSave(card); });
        }
      });
      return;
    case Status::Restricted:
      platform::Console::print("Photo access restricted");
      return;
    case Status::Denied:
      platform::Console::print("Photo access denied");
      return;
    case Status::Authorized:
    case Status::Limited:
      renderAndSave(card);
      return;
  }
  platform::Console::print("Unknown");
}
