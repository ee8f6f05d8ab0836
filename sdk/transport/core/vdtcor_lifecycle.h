// Passes the transport's lifecycle notifications on to the transformer, the upload coordinator
// and the registrar (which passes them on to uploaders and storages), in that order.
#pragma once

#include <memory>

namespace platform {
struct Notification;
}

class VDTCORLifecycle final {
  struct Token {};

 public:
  explicit VDTCORLifecycle(Token) {}
  ~VDTCORLifecycle();

  // The class-load hook: creates the shared instance, which starts listening.
  static void load();
  static std::shared_ptr<VDTCORLifecycle> sharedInstance();
  static void resetSharedInstanceForTesting();

  void applicationDidEnterBackgroundNotification(const platform::Notification& notification);
  void applicationWillEnterForegroundNotification(const platform::Notification& notification);
  void applicationWillTerminateNotification(const platform::Notification& notification);

 private:
  static std::shared_ptr<VDTCORLifecycle> make();
};
