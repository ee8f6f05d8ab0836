// Screen-view reporting: which screen the user is looking at. Hooks on every view controller's
// appear and disappear keep a stack of appeared controllers per window; the top one is the
// current screen, and every change of it logs "_vs" (the internal "screen_view") with the new
// and the previous screen's parameters. The app may also log "screen_view" itself or name the
// current screen. Every other event carries the current screen's "_si", "_sc" and "_sn", and the
// session reporter hears of each change and of the app's state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/common/apm_object.h"

namespace platform {
class DispatchQueue;
class ViewController;
class Window;
}  // namespace platform

inline constexpr std::string_view kAPMScreenReportingLogService = "<DavEroriveduve>";
// Longer controller class names are cut to this many characters.
inline constexpr std::size_t kAPMMaxScreenClassLength = 100;

// One screen: name (may be absent), class name and an instance ID unique within the process.
class APMScreen {
 public:
  APMScreen(std::optional<std::string> name, std::string className, std::int64_t instanceID)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}
  // Same name, class and instance ID; the flags and the timestamp stay behind.
  std::shared_ptr<APMScreen> copy() const { return std::make_shared<APMScreen>(name_, className_, instanceID_); }

  const std::optional<std::string>& name() const { return name_; }
  const std::string& className() const { return className_; }
  std::int64_t instanceID() const { return instanceID_; }
  bool isManuallySet() const { return isManuallySet_; }
  void setManuallySet(bool value) { isManuallySet_ = value; }
  bool isManuallyTracked() const { return isManuallyTracked_; }
  void setManuallyTracked(bool value) { isManuallyTracked_ = value; }
  double eventTimestamp() const { return eventTimestamp_; }
  void setEventTimestamp(double value) { eventTimestamp_ = value; }
  // "_si", and "_sc" and "_sn" when not empty.
  APMDictionary parameters() const;

 private:
  bool isManuallySet_ = false;
  bool isManuallyTracked_ = false;
  std::optional<std::string> name_;
  std::string className_;
  std::int64_t instanceID_;
  double eventTimestamp_ = 0;
};

// Another SDK library told of appear and disappear.
class APMScreenViewReporterDelegate {
 public:
  virtual ~APMScreenViewReporterDelegate() = default;
  virtual void viewControllerDidAppear(platform::ViewController& controller, bool trackedByAnalytics) = 0;
  virtual void viewControllerDidDisappear(platform::ViewController& controller) = 0;
};

class APMScreenViewReporter {
 public:
  static APMScreenViewReporter& sharedInstance();
  // Class-load time: installs the view-controller hooks once, unless screen reporting is off.
  static void load();
  // The Info.plist switch, read on every use.
  static bool isScreenReportingEnabled();

  // Main thread, from the hooks and the window notification.
  void viewControllerDidAppear(platform::ViewController& controller);
  void viewControllerDidDisappear(platform::ViewController& controller);
  void setCurrentViewController(const std::shared_ptr<platform::ViewController>& controller);
  // Main thread (the facade checks).
  void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);
  // Any thread: an app-logged "screen_view".
  void trackScreenWithParameters(const APMDictionary& parameters, double timestamp);
  // Any thread.
  APMDictionary screenParameters() const EXCLUDES(mutex_);
  void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass) const
      EXCLUDES(mutex_);
  bool isAppActive() const { return isAppActive_.load(); }
  void setVuduzaraPerfDelegate(const std::shared_ptr<APMScreenViewReporterDelegate>& delegate) EXCLUDES(mutex_);
  std::shared_ptr<APMScreenViewReporterDelegate> vuduzaraPerfDelegate() const EXCLUDES(mutex_);

  // The reporter's queue.
  void postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<APMScreen>& previous,
                                                         const std::shared_ptr<APMScreen>& next);
  void logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMScreen>& previous,
                                            const std::shared_ptr<APMScreen>& next, const APMDictionary& parameters)
      EXCLUDES(mutex_);
  std::int64_t incrementScreenInstanceID();

  // Application notifications, main thread.
  void handleApplicationDidBecomeActive();
  void handleApplicationWillResignActive() EXCLUDES(mutex_);
  void handleApplicationDidEnterBackground();
  void handleWindowDidResign();

  // Tests: a reporter as at process start (flags, screens, delegate; the instance IDs run on).
  void resetForTesting() EXCLUDES(mutex_);

 private:
  APMScreenViewReporter();
  void updateCurrentViewControllerOfWindow(platform::Window& window);
  std::shared_ptr<APMScreen> currentScreen() const EXCLUDES(mutex_);

  std::shared_ptr<platform::DispatchQueue> queue_;
  mutable platform::Mutex mutex_;
  std::weak_ptr<platform::ViewController> currentViewController_ GUARDED_BY(mutex_);
  std::weak_ptr<APMScreenViewReporterDelegate> vuduzaraPerfDelegate_ GUARDED_BY(mutex_);
  std::shared_ptr<APMScreen> currentScreen_ GUARDED_BY(mutex_);
  std::shared_ptr<APMScreen> previousScreen_ GUARDED_BY(mutex_);
  std::atomic<bool> allowScreenParameters_{true};
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<std::int64_t> currentScreenInstanceID_;
  std::shared_ptr<const int> observerOwner_ = std::make_shared<const int>(0);
};
