// Internal to the photo library: the process-wide state the driver sets, the library's folders
// on disk, and the change being made by the running change block.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "platform/photos/photo_library.h"

namespace platform::photo_store {

struct State {
  Mutex mutex;
  // The system keeps the status across launches; none until read from its store (again after a
  // change of home or a relaunch).
  std::optional<PhotoAuthorizationStatus> status GUARDED_BY(mutex);
  PhotoAuthorizationStatus answer GUARDED_BY(mutex) = PhotoAuthorizationStatus::Authorized;
  int prompts GUARDED_BY(mutex) = 0;
  std::optional<Error> changesFailure GUARDED_BY(mutex);

  static State& shared();

  PhotoAuthorizationStatus currentStatus() REQUIRES(mutex);
  void storeStatus(PhotoAuthorizationStatus newStatus) REQUIRES(mutex);
};

// Held while the disk is read or changed, and for the whole of a change block, so that a change
// sees the library as it will apply to it.
RecursiveMutex& diskMutex();

PhotoAuthorizationStatus status();
// Fetches see the library only with read access.
bool canRead();

std::filesystem::path root();

struct AlbumOnDisk {
  std::string identifier;  // the folder's name
  std::string title;
  std::filesystem::path folder;
};
// The user albums, by folder name. Hidden folders are not albums.
std::vector<AlbumOnDisk> albums();
// The PNG files directly in a folder, by name.
std::vector<std::filesystem::path> images(const std::filesystem::path& folder);

// What one change block asks for, collected by the change requests.
struct Change {
  struct NewAlbum {
    std::string identifier;
    std::string title;
  };
  struct NewAsset {
    std::string identifier;
    Data png;
  };
  struct Addition {
    std::string album;
    std::vector<std::string> assets;
  };
  std::vector<NewAlbum> newAlbums;
  std::vector<NewAsset> newAssets;
  std::vector<Addition> additions;
  // Set by a request that can never be met; the change then fails as a whole.
  std::optional<Error> failure;

  // The change of the change block running on this thread; null outside change blocks.
  static Change* current();
  // Raises NSInternalInconsistencyException outside a change block.
  static Change& requireCurrent();

  // Names not yet used on disk or by this change.
  std::string reserveAssetIdentifier();
  std::string reserveAlbumFolder(const std::string& title);

  // Applies everything or nothing.
  bool apply(Error* error);

 private:
  std::set<std::string> reservedAssets_;
  std::set<std::string> reservedFolders_;
};

// Makes `change` the current change of this thread while alive.
class ChangeScope {
 public:
  explicit ChangeScope(Change& change);
  ~ChangeScope();
  ChangeScope(const ChangeScope&) = delete;
  ChangeScope& operator=(const ChangeScope&) = delete;

 private:
  Change* previous_;
};

Error photosError(std::int64_t code, const std::string& description);

}  // namespace platform::photo_store
