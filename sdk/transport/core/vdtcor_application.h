// The transport's view of the application: background tasks, whether the app is in the
// background, and the platform's lifecycle notifications re-posted under the transport's names.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {
class Application;
struct Notification;
}  // namespace platform

using VDTCORBackgroundIdentifier = std::int64_t;
inline constexpr VDTCORBackgroundIdentifier VDTCORBackgroundIdentifierInvalid = 0;

inline constexpr std::string_view kVDTCORApplicationDidEnterBackgroundNotification =
    "VDTCORApplicationDidEnterBackgroundNotification";
inline constexpr std::string_view kVDTCORApplicationWillEnterForegroundNotification =
    "VDTCORApplicationWillEnterForegroundNotification";
inline constexpr std::string_view kVDTCORApplicationWillTerminateNotification =
    "VDTCORApplicationWillTerminateNotification";

class VDTCORApplicationProtocol {
 public:
  virtual ~VDTCORApplicationProtocol() = default;
  // VDTCORBackgroundIdentifierInvalid when no task could be begun.
  virtual VDTCORBackgroundIdentifier beginBackgroundTaskWithName(std::string name,
                                                                 std::function<void()> expirationHandler) = 0;
  virtual void endBackgroundTask(VDTCORBackgroundIdentifier identifier) = 0;
  virtual bool isRunningInBackground() const = 0;
};

class VDTCORApplication final : public VDTCORApplicationProtocol, public std::enable_shared_from_this<VDTCORApplication> {
  struct Token {};

 public:
  explicit VDTCORApplication(Token) {}

  // The class-load hook: creates the shared wrapper.
  static void load();
  static std::shared_ptr<VDTCORApplication> sharedApplication();
  static void resetSharedApplicationForTesting();

  // Inside an app extension no background task is ever begun.
  static bool isAppExtension();
  // The running application, or null (inside an extension, or before launch).
  static std::shared_ptr<platform::Application> sharedApplicationForBackgroundTask();

  VDTCORBackgroundIdentifier beginBackgroundTaskWithName(std::string name,
                                                         std::function<void()> expirationHandler) override;
  void endBackgroundTask(VDTCORBackgroundIdentifier identifier) override;
  bool isRunningInBackground() const override { return isRunningInBackground_.load(); }

  void iOSApplicationDidEnterBackground(const platform::Notification& notification);
  void iOSApplicationWillEnterForeground(const platform::Notification& notification);
  void iOSApplicationWillTerminate(const platform::Notification& notification);

 private:
  static std::shared_ptr<VDTCORApplication> make();
  std::atomic<bool> isRunningInBackground_{false};
};

// One background task, ended at most once by whichever comes first: the end of the work or the
// task's expiry. The application is held weakly.
class VDTCORBackgroundTask {
 public:
  // `onExpiry`, when given, runs first when the task expires (to stop the work it covers).
  static std::shared_ptr<VDTCORBackgroundTask> begin(const std::shared_ptr<VDTCORApplicationProtocol>& application,
                                                     std::string name, std::function<void()> onExpiry = nullptr);
  void end();
  VDTCORBackgroundIdentifier identifier() const { return identifier_.load(); }

 private:
  std::weak_ptr<VDTCORApplicationProtocol> application_;
  std::atomic<VDTCORBackgroundIdentifier> identifier_{VDTCORBackgroundIdentifierInvalid};
  std::atomic<bool> ended_{false};
};
