#include "platform/photos/photo_library.h"

#include <exception>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/photos/photo_store.h"

namespace platform {

namespace {

using photo_store::State;

PhotoAuthorizationStatus legacy(PhotoAuthorizationStatus status) {
  return status == PhotoAuthorizationStatus::Limited ? PhotoAuthorizationStatus::Authorized : status;
}

// Asks the user while undecided; answers the status either way.
PhotoAuthorizationStatus decide() {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  if (s.currentStatus() == PhotoAuthorizationStatus::NotDetermined) {
    ++s.prompts;
    s.storeStatus(s.answer);
  }
  return s.currentStatus();
}

}  // namespace

std::shared_ptr<PhotoLibrary> PhotoLibrary::sharedPhotoLibrary() {
  // Never destroyed: its queue may still run a change while the process exits.
  static const auto* library = new std::shared_ptr<PhotoLibrary>(std::make_shared<PhotoLibrary>());
  return *library;
}

PhotoLibrary::PhotoLibrary() : queue_(DispatchQueue::serial("platform.photos.library")) {}

PhotoLibrary::~PhotoLibrary() = default;

PhotoAuthorizationStatus PhotoLibrary::authorizationStatus() { return legacy(photo_store::status()); }

PhotoAuthorizationStatus PhotoLibrary::authorizationStatusForAccessLevel(PhotoAccessLevel) {
  return photo_store::status();
}

void PhotoLibrary::requestAuthorization(std::function<void(PhotoAuthorizationStatus)> handler) {
  sharedPhotoLibrary()->queue()->async([handler = std::move(handler)] {
    auto status = legacy(decide());
    if (handler) handler(status);
  });
}

void PhotoLibrary::requestAuthorizationForAccessLevel(PhotoAccessLevel,
                                                      std::function<void(PhotoAuthorizationStatus)> handler) {
  sharedPhotoLibrary()->queue()->async([handler = std::move(handler)] {
    auto status = decide();
    if (handler) handler(status);
  });
}

void PhotoLibrary::performChanges(std::function<void()> changes,
                                  std::function<void(bool success, const Error* error)> completion) {
  queue_->async([changes = std::move(changes), completion = std::move(completion)] {
    Error error;
    bool success = false;
    auto status = photo_store::status();
    if (status == PhotoAuthorizationStatus::Restricted) {
      error = photo_store::photosError(kPhotosErrorAccessRestricted, "Access to the photo library is restricted");
    } else if (!photo_store::canRead()) {
      error = photo_store::photosError(kPhotosErrorAccessUserDenied, "The user has not allowed access to photos");
    } else {
      RecursiveMutexLock lock(photo_store::diskMutex());
      photo_store::Change change;
      bool blockRan = false;
      {
        photo_store::ChangeScope scope(change);
        // Nothing thrown by the app's block may leave the library's queue.
        try {
          if (changes) changes();
          blockRan = true;
        } catch (const std::exception& e) {
          error = photo_store::photosError(kPhotosErrorInvalid, std::string("The change block failed: ") + e.what());
        }
      }
      if (blockRan) success = change.apply(&error);
    }
    if (completion) completion(success, success ? nullptr : &error);
  });
}

}  // namespace platform
