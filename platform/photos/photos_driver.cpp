#include "platform/photos/photos_driver.h"

#include "platform/foundation/thread_safety.h"
#include "platform/photos/photo_store.h"

namespace platform::PhotosDriver {

using photo_store::State;

namespace {

void resetState(std::optional<PhotoAuthorizationStatus> status) {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  s.status = status;
  s.answer = PhotoAuthorizationStatus::Authorized;
  s.prompts = 0;
  s.changesFailure.reset();
}

}  // namespace

void reset() { resetState(PhotoAuthorizationStatus::NotDetermined); }

void forgetForRelaunch() { resetState(std::nullopt); }

void setAuthorizationStatus(PhotoAuthorizationStatus status) {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  s.storeStatus(status);
}

void setAuthorizationAnswer(PhotoAuthorizationStatus answer) {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  s.answer = answer;
}

int authorizationPromptCount() {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  return s.prompts;
}

void setChangesFailure(std::optional<Error> error) {
  auto& s = State::shared();
  MutexLock lock(s.mutex);
  s.changesFailure = std::move(error);
}

std::vector<Album> albums() {
  std::vector<Album> out;
  for (const auto& album : photo_store::albums()) {
    Album entry{album.identifier, album.title, album.folder, {}};
    for (const auto& file : photo_store::images(album.folder)) entry.images.push_back(file.filename().string());
    out.push_back(std::move(entry));
  }
  return out;
}

std::vector<std::string> libraryImages() {
  std::vector<std::string> out;
  for (const auto& file : photo_store::images(photo_store::root())) out.push_back(file.filename().string());
  return out;
}

}  // namespace platform::PhotosDriver
