// The user's photo library: the app's authorisation and changes made in change blocks.
//
// performChanges runs the change block on the library's own serial queue; the change requests
// made inside it are then applied together (all or none: a failure leaves the library as it
// was), and the completion runs on the same queue, never on the main queue. The changes need
// authorised or limited access. Saved images go to the trace as "photos".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/foundation/error.h"

namespace platform {

class DispatchQueue;

inline constexpr std::string_view kPhotosErrorDomain = "PHPhotosErrorDomain";
inline constexpr std::int64_t kPhotosErrorInvalid = -1;
inline constexpr std::int64_t kPhotosErrorInvalidResource = 3300;
inline constexpr std::int64_t kPhotosErrorAccessRestricted = 3310;
inline constexpr std::int64_t kPhotosErrorAccessUserDenied = 3311;

// The platform's status values.
enum class PhotoAuthorizationStatus : int {
  NotDetermined = 0,
  Restricted = 1,
  Denied = 2,
  Authorized = 3,
  Limited = 4
};
enum class PhotoAccessLevel : int { AddOnly = 1, ReadWrite = 2 };

class PhotoLibrary : public std::enable_shared_from_this<PhotoLibrary> {
 public:
  static std::shared_ptr<PhotoLibrary> sharedPhotoLibrary();

  // The status of the older, single-level permission: limited access reads as authorised there.
  static PhotoAuthorizationStatus authorizationStatus();
  static PhotoAuthorizationStatus authorizationStatusForAccessLevel(PhotoAccessLevel level);
  // Asks the user (the answer PhotosDriver::setAuthorizationAnswer scripted) while the status is
  // not determined, otherwise answers the decided status. The handler runs on the library's
  // queue. The older request answers authorised for limited access, as its status does. The
  // answer is kept in the home: later launches find it decided.
  static void requestAuthorization(std::function<void(PhotoAuthorizationStatus)> handler);
  static void requestAuthorizationForAccessLevel(PhotoAccessLevel level,
                                                 std::function<void(PhotoAuthorizationStatus)> handler);

  // Runs `changes` on the library's queue, applies the requests it made and calls `completion`
  // there with the outcome (the error is null on success). A platform::Exception thrown by the
  // block fails the whole change with kPhotosErrorInvalid.
  void performChanges(std::function<void()> changes,
                      std::function<void(bool success, const Error* error)> completion = {});

  std::shared_ptr<DispatchQueue> queue() const { return queue_; }

  PhotoLibrary();
  ~PhotoLibrary();
  PhotoLibrary(const PhotoLibrary&) = delete;
  PhotoLibrary& operator=(const PhotoLibrary&) = delete;

 private:
  std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace platform
