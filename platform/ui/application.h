// The application object, its delegate and the process's entry into the application loop.
//
// Launch order: the delegate is created by its registered class name; the main storyboard's
// initial screen is created and set as the window's root before the delegate's launch callback
// runs; the window is then made visible, which loads the screen's view. Lifecycle: active,
// background (the main run loop is suspended, so its timers pause while time passes, once no
// background task keeps the app running), foreground, terminate; each transition calls the
// delegate and posts the platform's notification on the default centre (object: the
// application). Lifecycle transitions and the delegate belong to the main thread; the state and
// background tasks may be used from any thread.
//
// Every delegate callback is sent through the object runtime by its selector, and only when the
// delegate's runtime class implements it: a delegate made from a plain subclass of
// ApplicationDelegate answers every callback (the C++ overrides or the defaults), one that
// declares its class (application_delegate_class.h) answers exactly those it names, and a
// delegate whose class was changed at run time answers what the new class does.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "platform/runtime/object.h"

namespace platform {

class Application;
class Window;

inline constexpr std::string_view kApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr std::string_view kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr std::string_view kApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr std::string_view kApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr std::string_view kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr std::string_view kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";

// Launch options (also the user information of the did-finish-launching notification): the URL
// the app was opened with, or the user activity it continues (a dictionary holding the activity
// dictionary of user_activity.h under the activity key).
inline constexpr std::string_view kApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr std::string_view kApplicationLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr std::string_view kApplicationLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";

// The main storyboard's name in Info.plist, and the name used when Info.plist has none.
inline constexpr std::string_view kMainStoryboardFileKey = "UIMainStoryboardFile";
inline constexpr std::string_view kDefaultMainStoryboardName = "Main";

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

using BackgroundTaskIdentifier = std::int64_t;
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

// Selectors of the delegate callbacks.
inline constexpr std::string_view kApplicationWillFinishLaunchingWithOptionsSelector =
    "application:willFinishLaunchingWithOptions:";
inline constexpr std::string_view kApplicationDidFinishLaunchingWithOptionsSelector =
    "application:didFinishLaunchingWithOptions:";
inline constexpr std::string_view kApplicationWillResignActiveSelector = "applicationWillResignActive:";
inline constexpr std::string_view kApplicationDidEnterBackgroundSelector = "applicationDidEnterBackground:";
inline constexpr std::string_view kApplicationWillEnterForegroundSelector = "applicationWillEnterForeground:";
inline constexpr std::string_view kApplicationDidBecomeActiveSelector = "applicationDidBecomeActive:";
inline constexpr std::string_view kApplicationWillTerminateSelector = "applicationWillTerminate:";
inline constexpr std::string_view kApplicationOpenURLOptionsSelector = "application:openURL:options:";
inline constexpr std::string_view kApplicationOpenURLSourceApplicationAnnotationSelector =
    "application:openURL:sourceApplication:annotation:";
inline constexpr std::string_view kApplicationContinueUserActivityRestorationHandlerSelector =
    "application:continueUserActivity:restorationHandler:";
inline constexpr std::string_view kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector =
    "application:handleEventsForBackgroundURLSession:completionHandler:";
inline constexpr std::string_view kApplicationDidRegisterForRemoteNotificationsWithDeviceTokenSelector =
    "application:didRegisterForRemoteNotificationsWithDeviceToken:";
inline constexpr std::string_view kApplicationDidFailToRegisterForRemoteNotificationsWithErrorSelector =
    "application:didFailToRegisterForRemoteNotificationsWithError:";
inline constexpr std::string_view kApplicationDidReceiveRemoteNotificationSelector =
    "application:didReceiveRemoteNotification:";
inline constexpr std::string_view kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector =
    "application:didReceiveRemoteNotification:fetchCompletionHandler:";

// Open-URL options naming the sender and its annotation.
inline constexpr std::string_view kApplicationOpenURLOptionsSourceApplicationKey =
    "UIApplicationOpenURLOptionsSourceApplicationKey";
inline constexpr std::string_view kApplicationOpenURLOptionsAnnotationKey = "UIApplicationOpenURLOptionsAnnotationKey";

enum class BackgroundFetchResult { NewData = 0, NoData = 1, Failed = 2 };

// The application delegate protocol ("UIApplicationDelegate"); every callback is optional.
class ApplicationDelegate : public virtual runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "UIApplicationDelegate";

  // Of the runtime class that answers every callback; a subclass may declare a narrower one.
  ApplicationDelegate();
  ~ApplicationDelegate() override = default;

  virtual bool applicationWillFinishLaunchingWithOptions(Application& /*application*/,
                                                         const Value::Dictionary& /*launchOptions*/) {
    return true;
  }
  virtual bool applicationDidFinishLaunchingWithOptions(Application& /*application*/,
                                                        const Value::Dictionary& /*launchOptions*/) {
    return true;
  }
  virtual void applicationWillResignActive(Application& /*application*/) {}
  virtual void applicationDidEnterBackground(Application& /*application*/) {}
  virtual void applicationWillEnterForeground(Application& /*application*/) {}
  virtual void applicationDidBecomeActive(Application& /*application*/) {}
  virtual void applicationWillTerminate(Application& /*application*/) {}

  // URLs and activities handed to the app.
  virtual bool applicationOpenURLOptions(Application& /*application*/, const std::string& /*url*/,
                                         const Value::Dictionary& /*options*/) {
    return false;
  }
  virtual bool applicationOpenURLSourceApplicationAnnotation(Application& /*application*/, const std::string& /*url*/,
                                                             const std::string& /*sourceApplication*/,
                                                             const Value& /*annotation*/) {
    return false;
  }
  virtual bool applicationContinueUserActivityRestorationHandler(Application& /*application*/,
                                                                 const Value::Dictionary& /*userActivity*/,
                                                                 std::function<void(const Value&)> /*restoration*/) {
    return false;
  }
  virtual void applicationHandleEventsForBackgroundURLSessionCompletionHandler(Application& /*application*/,
                                                                               const std::string& /*identifier*/,
                                                                               std::function<void()> /*completion*/) {}

  // Remote notifications.
  virtual void applicationDidRegisterForRemoteNotificationsWithDeviceToken(Application& /*application*/,
                                                                          const Data& /*deviceToken*/) {}
  virtual void applicationDidFailToRegisterForRemoteNotificationsWithError(Application& /*application*/,
                                                                          const Error& /*error*/) {}
  virtual void applicationDidReceiveRemoteNotification(Application& /*application*/,
                                                       const Value::Dictionary& /*userInfo*/) {}
  virtual void applicationDidReceiveRemoteNotificationFetchCompletionHandler(
      Application& /*application*/, const Value::Dictionary& /*userInfo*/,
      std::function<void(BackgroundFetchResult)> completion) {
    if (completion) completion(BackgroundFetchResult::NoData);
  }

  // The window the platform fills from the main storyboard.
  std::shared_ptr<Window> window() const { return window_; }
  void setWindow(std::shared_ptr<Window> window) { window_ = std::move(window); }

 private:
  std::shared_ptr<Window> window_;
};

// Delegate classes by name, as applicationMain finds them.
namespace ApplicationDelegateRegistry {
using Factory = std::function<std::shared_ptr<ApplicationDelegate>()>;
void registerClass(std::string className, Factory factory);
bool contains(std::string_view className);
}  // namespace ApplicationDelegateRegistry

class Application : public std::enable_shared_from_this<Application> {
 public:
  // How long the app may keep running in the background while background tasks are open.
  static constexpr double kBackgroundTimeAllowance = 30;

  // The running application, or null before launch.
  static std::shared_ptr<Application> shared();

  // What applicationMain does before it runs the main loop: creates the application (replacing
  // any earlier one), its delegate by class name (an unknown name raises
  // NSInternalInconsistencyException), the main storyboard's initial screen and window, calls the
  // delegate's launch callbacks, shows the window and becomes active. Main thread.
  static std::shared_ptr<Application> launch(std::string_view delegateClassName, Value::Dictionary launchOptions = {});

  // Forgets the application (tests start each launch afresh).
  static void reset();

  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  std::shared_ptr<ApplicationDelegate> delegate() const;
  // Delegate observers hear the old and the new delegate (the platform's key-value observation
  // of "delegate"); addDelegateObserver returns an id for removeDelegateObserver.
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
  using DelegateObserver = std::function<void(const std::shared_ptr<ApplicationDelegate>& oldDelegate,
                                              const std::shared_ptr<ApplicationDelegate>& newDelegate)>;
  int addDelegateObserver(DelegateObserver observer);
  void removeDelegateObserver(int id);

  ApplicationState applicationState() const { return state_.load(); }
  bool isTerminated() const { return terminated_.load(); }
  std::shared_ptr<Window> keyWindow() const;

  // Background tasks: while one is open the app keeps running in the background, up to
  // kBackgroundTimeAllowance seconds of the platform clock after it left the front; then the
  // open tasks' expiration handlers run on the main queue, and tasks still open afterwards are
  // ended by the platform (with a log line). Any thread.
  BackgroundTaskIdentifier beginBackgroundTaskWithName(std::string name, std::function<void()> expirationHandler);
  void endBackgroundTask(BackgroundTaskIdentifier identifier);
  // Seconds left in the background; infinity while in front.
  double backgroundTimeRemaining() const;
  std::size_t openBackgroundTaskCount() const;

  // Records the URL in the trace ("openURL") and calls the completion with true on the main
  // queue. A URL without a scheme opens nothing and completes with false.
  bool canOpenURL(std::string_view url) const;
  void openURL(const std::string& url, const Value::Dictionary& options = {},
               std::function<void(bool success)> completion = {});

  // What the system hands the app, sent to the delegate (see the top of this file). Main thread.
  // An URL goes to application:openURL:options:, or else to the older
  // application:openURL:sourceApplication:annotation: with the sender and annotation taken from
  // the options; false when the delegate handles neither or declines.
  bool deliverOpenURL(const std::string& url, const Value::Dictionary& options = {});
  bool deliverUserActivity(const Value::Dictionary& userActivity,
                           std::function<void(const Value&)> restorationHandler = {});
  // Events of a background URL session: the handler is the delegate's to call once it is done.
  void deliverBackgroundURLSessionEvents(const std::string& identifier, std::function<void()> completionHandler);
  void deliverRemoteNotificationsDeviceToken(const Data& deviceToken);
  void deliverRemoteNotificationsRegistrationError(const Error& error);
  // The fetch variant when the delegate has it; otherwise the plain one, completing with NoData.
  // The completion runs once either way.
  void deliverRemoteNotification(const Value::Dictionary& userInfo,
                                 std::function<void(BackgroundFetchResult)> completion = {});

  // Transitions, called by the platform (the terminal front end and tests' drivers). Main thread.
  void enterBackground();  // resign active, then enter the background
  void enterForeground();  // enter the foreground, then become active
  void terminate();        // will terminate; stops the main run loop

 private:
  void becomeActive();
  void post(std::string_view name, Value::Dictionary userInfo = {});
  void updateSuspension();
  void expireBackgroundTasks(std::uint64_t generation);

  std::atomic<ApplicationState> state_{ApplicationState::Inactive};
  std::atomic<bool> terminated_{false};
  mutable RecursiveMutex mutex_;
  std::shared_ptr<ApplicationDelegate> delegate_ GUARDED_BY(mutex_);
  std::map<int, DelegateObserver> delegateObservers_ GUARDED_BY(mutex_);
  int nextObserverId_ GUARDED_BY(mutex_) = 1;

  struct Task {
    std::string name;
    std::function<void()> expirationHandler;
  };
  std::map<BackgroundTaskIdentifier, Task> tasks_ GUARDED_BY(mutex_);
  BackgroundTaskIdentifier nextTask_ GUARDED_BY(mutex_) = 1;
  bool suspendable_ GUARDED_BY(mutex_) = false;       // from entering the background until leaving it
  double backgroundDeadline_ GUARDED_BY(mutex_) = 0;  // platform uptime
  std::uint64_t backgroundGeneration_ GUARDED_BY(mutex_) = 0;
  bool expired_ GUARDED_BY(mutex_) = false;
};

// The process's entry into the application: launches with the delegate class and runs the main
// run loop until the application terminates. Returns 0.
int applicationMain(int argc, char** argv, std::string_view delegateClassName);

}  // namespace platform
