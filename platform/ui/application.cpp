#include "platform/ui/application.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/message.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/window.h"

namespace platform {

namespace {

Mutex& sharedMutex() {
  static Mutex m;
  return m;
}
std::shared_ptr<Application>& sharedApplication() REQUIRES(sharedMutex()) {
  static std::shared_ptr<Application> app;
  return app;
}
// Whether applicationMain runs the main loop (terminate stops it only then).
std::atomic<bool>& runningMainLoop() {
  static std::atomic<bool> running{false};
  return running;
}

Mutex& registryMutex() {
  static Mutex m;
  return m;
}
std::map<std::string, ApplicationDelegateRegistry::Factory, std::less<>>& registry() REQUIRES(registryMutex()) {
  static std::map<std::string, ApplicationDelegateRegistry::Factory, std::less<>> r;
  return r;
}

std::string mainStoryboardName(bool& named) {
  named = false;
  if (auto bundle = Bundle::main()) {
    Value v = bundle->objectForInfoDictionaryKey(kMainStoryboardFileKey);
    if (const std::string* s = v.ifString(); s && !s->empty()) {
      named = true;
      return *s;
    }
  }
  return std::string(kDefaultMainStoryboardName);
}

// Sends a callback the delegate's class implements; nothing when it has none.
template <class... A>
std::optional<std::any> sendToDelegate(const std::shared_ptr<ApplicationDelegate>& delegate, std::string_view selector,
                                       A&&... args) {
  if (!delegate || !runtime::respondsToSelector(*delegate, selector)) return std::nullopt;
  return runtime::send(*delegate, selector, runtime::Arguments{runtime::detail::packArgument(std::forward<A>(args))...});
}

bool isTrue(const std::optional<std::any>& result) {
  const bool* b = result ? std::any_cast<bool>(&*result) : nullptr;
  return b && *b;
}

}  // namespace

namespace ApplicationDelegateRegistry {

void registerClass(std::string className, Factory factory) {
  MutexLock lock(registryMutex());
  registry()[std::move(className)] = std::move(factory);
}

bool contains(std::string_view className) {
  MutexLock lock(registryMutex());
  return registry().contains(className);
}

}  // namespace ApplicationDelegateRegistry

Application::Application() = default;
Application::~Application() = default;

std::shared_ptr<Application> Application::shared() {
  MutexLock lock(sharedMutex());
  return sharedApplication();
}

void Application::reset() {
  std::shared_ptr<Application> old;
  {
    MutexLock lock(sharedMutex());
    old = std::move(sharedApplication());
  }
  Window::resetKeyWindow();
  RunLoop::main().setSuspended(false);
}

std::shared_ptr<Application> Application::launch(std::string_view delegateClassName, Value::Dictionary launchOptions) {
  ApplicationDelegateRegistry::Factory factory;
  {
    MutexLock lock(registryMutex());
    if (auto it = registry().find(delegateClassName); it != registry().end()) factory = it->second;
  }
  if (!factory) {
    throw Exception(
        std::string(kInternalInconsistencyException),
        format("Cannot create the application delegate: no class named %@ is registered.", delegateClassName));
  }
  reset();
  auto app = std::make_shared<Application>();
  {
    MutexLock lock(sharedMutex());
    sharedApplication() = app;
  }
  auto delegate = factory();
  app->setDelegate(delegate);

  bool named = false;
  std::string storyboardName = mainStoryboardName(named);
  if (auto storyboard = Storyboard::named(storyboardName)) {
    auto window = std::make_shared<Window>(Screen::main().bounds());
    // The initial screen exists before the launch callbacks; its view loads when the window shows.
    window->setRootViewController(storyboard->instantiateInitialViewController());
    if (delegate) delegate->setWindow(window);
  } else if (named) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("Could not find a storyboard named '%@'", storyboardName));
  }

  sendToDelegate(delegate, kApplicationWillFinishLaunchingWithOptionsSelector, std::ref(*app), launchOptions);
  sendToDelegate(delegate, kApplicationDidFinishLaunchingWithOptionsSelector, std::ref(*app), launchOptions);
  app->post(kApplicationDidFinishLaunchingNotification, launchOptions);
  if (delegate) {
    if (auto window = delegate->window()) window->makeKeyAndVisible();
  }
  app->becomeActive();
  return app;
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  RecursiveMutexLock lock(mutex_);
  return delegate_;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  std::shared_ptr<ApplicationDelegate> old;
  std::vector<DelegateObserver> observers;
  {
    RecursiveMutexLock lock(mutex_);
    old = std::exchange(delegate_, delegate);
    for (const auto& [id, o] : delegateObservers_) observers.push_back(o);
  }
  for (auto& o : observers) o(old, delegate);
}

int Application::addDelegateObserver(DelegateObserver observer) {
  RecursiveMutexLock lock(mutex_);
  int id = nextObserverId_++;
  delegateObservers_[id] = std::move(observer);
  return id;
}

void Application::removeDelegateObserver(int id) {
  RecursiveMutexLock lock(mutex_);
  delegateObservers_.erase(id);
}

std::shared_ptr<Window> Application::keyWindow() const { return Window::keyWindow(); }

void Application::post(std::string_view name, Value::Dictionary userInfo) {
  Notification n;
  n.name = std::string(name);
  n.userInfo = std::move(userInfo);
  n.object = this;
  n.objectRef = shared_from_this();
  NotificationCenter::defaultCenter().post(std::move(n));
}

void Application::becomeActive() {
  state_ = ApplicationState::Active;
  sendToDelegate(delegate(), kApplicationDidBecomeActiveSelector, std::ref(*this));
  post(kApplicationDidBecomeActiveNotification);
}

void Application::enterBackground() {
  if (terminated_ || state_ == ApplicationState::Background) return;
  auto keep = shared_from_this();
  state_ = ApplicationState::Inactive;
  sendToDelegate(delegate(), kApplicationWillResignActiveSelector, std::ref(*this));
  post(kApplicationWillResignActiveNotification);

  std::uint64_t generation;
  {
    RecursiveMutexLock lock(mutex_);
    state_ = ApplicationState::Background;
    suspendable_ = true;
    backgroundDeadline_ = Clock::current().uptime() + kBackgroundTimeAllowance;
    generation = ++backgroundGeneration_;
    expired_ = false;
  }
  sendToDelegate(delegate(), kApplicationDidEnterBackgroundSelector, std::ref(*this));
  post(kApplicationDidEnterBackgroundNotification);
  std::weak_ptr<Application> weak = keep;
  DispatchQueue::main()->after(kBackgroundTimeAllowance, [weak, generation] {
    if (auto app = weak.lock()) app->expireBackgroundTasks(generation);
  });
  updateSuspension();
}

void Application::enterForeground() {
  if (terminated_ || state_ != ApplicationState::Background) return;
  auto keep = shared_from_this();
  {
    // Under the lock, so that no task ending on another thread suspends the loop again.
    RecursiveMutexLock lock(mutex_);
    ++backgroundGeneration_;
    expired_ = false;
    suspendable_ = false;
    RunLoop::main().setSuspended(false);
  }
  sendToDelegate(delegate(), kApplicationWillEnterForegroundSelector, std::ref(*this));
  post(kApplicationWillEnterForegroundNotification);
  state_ = ApplicationState::Inactive;
  becomeActive();
}

void Application::terminate() {
  if (terminated_.exchange(true)) return;
  auto keep = shared_from_this();
  {
    RecursiveMutexLock lock(mutex_);
    suspendable_ = false;
  }
  sendToDelegate(delegate(), kApplicationWillTerminateSelector, std::ref(*this));
  post(kApplicationWillTerminateNotification);
  RunLoop::main().setSuspended(false);
  if (runningMainLoop()) RunLoop::main().stop();
}

void Application::updateSuspension() {
  // Deciding and switching under one lock: threads ending tasks cannot undo a newer decision.
  RecursiveMutexLock lock(mutex_);
  bool suspend = suspendable_ && (tasks_.empty() || expired_);
  if (RunLoop::main().isSuspended() != suspend) RunLoop::main().setSuspended(suspend);
}

void Application::expireBackgroundTasks(std::uint64_t generation) {
  std::vector<std::function<void()>> handlers;
  {
    RecursiveMutexLock lock(mutex_);
    if (generation != backgroundGeneration_ || state_ != ApplicationState::Background) return;
    expired_ = true;
    for (const auto& [id, task] : tasks_) handlers.push_back(task.expirationHandler);
  }
  for (auto& h : handlers) {
    if (h) h();
  }
  {
    RecursiveMutexLock lock(mutex_);
    for (const auto& [id, task] : tasks_) {
      Console::log(format("Background task %@ (%lld) was not ended before its time ran out; the system ended it.",
                          task.name, static_cast<long long>(id)));
    }
    tasks_.clear();
  }
  updateSuspension();
}

BackgroundTaskIdentifier Application::beginBackgroundTaskWithName(std::string name,
                                                                  std::function<void()> expirationHandler) {
  BackgroundTaskIdentifier id;
  {
    RecursiveMutexLock lock(mutex_);
    // Once the background time has run out no new task may keep the app running.
    if (state_ == ApplicationState::Background && expired_) return kBackgroundTaskInvalid;
    id = nextTask_++;
    tasks_[id] = Task{std::move(name), std::move(expirationHandler)};
  }
  updateSuspension();
  return id;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
  if (identifier == kBackgroundTaskInvalid) return;
  bool found;
  {
    RecursiveMutexLock lock(mutex_);
    found = tasks_.erase(identifier) > 0;
  }
  if (!found) {
    Console::log(format("Cannot end background task %lld: no such task, or it has already ended.",
                        static_cast<long long>(identifier)));
    return;
  }
  updateSuspension();
}

double Application::backgroundTimeRemaining() const {
  RecursiveMutexLock lock(mutex_);
  if (state_ != ApplicationState::Background) return std::numeric_limits<double>::infinity();
  if (expired_) return 0;
  return std::max(0.0, backgroundDeadline_ - Clock::current().uptime());
}

std::size_t Application::openBackgroundTaskCount() const {
  RecursiveMutexLock lock(mutex_);
  return tasks_.size();
}

bool Application::canOpenURL(std::string_view url) const {
  auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    char c = url[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
              (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

void Application::openURL(const std::string& url, const Value::Dictionary&, std::function<void(bool)> completion) {
  bool opened = canOpenURL(url);
  if (opened) Trace::record("openURL", url);
  if (completion) {
    DispatchQueue::main()->async([completion = std::move(completion), opened] { completion(opened); });
  }
}

bool Application::deliverOpenURL(const std::string& url, const Value::Dictionary& options) {
  auto d = delegate();
  if (d && runtime::respondsToSelector(*d, kApplicationOpenURLOptionsSelector)) {
    return isTrue(sendToDelegate(d, kApplicationOpenURLOptionsSelector, std::ref(*this), url, options));
  }
  auto source = options.find(kApplicationOpenURLOptionsSourceApplicationKey);
  auto annotation = options.find(kApplicationOpenURLOptionsAnnotationKey);
  return isTrue(sendToDelegate(d, kApplicationOpenURLSourceApplicationAnnotationSelector, std::ref(*this), url,
                               source == options.end() ? std::string() : source->second.stringValue(),
                               annotation == options.end() ? Value() : annotation->second));
}

bool Application::deliverUserActivity(const Value::Dictionary& userActivity,
                                      std::function<void(const Value&)> restorationHandler) {
  if (!restorationHandler) restorationHandler = [](const Value&) {};
  return isTrue(sendToDelegate(delegate(), kApplicationContinueUserActivityRestorationHandlerSelector, std::ref(*this),
                               userActivity, std::move(restorationHandler)));
}

void Application::deliverBackgroundURLSessionEvents(const std::string& identifier,
                                                    std::function<void()> completionHandler) {
  if (!completionHandler) completionHandler = [] {};
  sendToDelegate(delegate(), kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector, std::ref(*this),
                 identifier, std::move(completionHandler));
}

void Application::deliverRemoteNotificationsDeviceToken(const Data& deviceToken) {
  sendToDelegate(delegate(), kApplicationDidRegisterForRemoteNotificationsWithDeviceTokenSelector, std::ref(*this),
                 deviceToken);
}

void Application::deliverRemoteNotificationsRegistrationError(const Error& error) {
  sendToDelegate(delegate(), kApplicationDidFailToRegisterForRemoteNotificationsWithErrorSelector, std::ref(*this),
                 error);
}

void Application::deliverRemoteNotification(const Value::Dictionary& userInfo,
                                            std::function<void(BackgroundFetchResult)> completion) {
  auto once = std::make_shared<std::once_flag>();
  std::function<void(BackgroundFetchResult)> finish = [once, completion = std::move(completion)](
                                                          BackgroundFetchResult result) {
    std::call_once(*once, [&] {
      if (completion) completion(result);
    });
  };
  auto d = delegate();
  if (d && runtime::respondsToSelector(*d, kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector)) {
    sendToDelegate(d, kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector, std::ref(*this), userInfo,
                   finish);
    return;
  }
  sendToDelegate(d, kApplicationDidReceiveRemoteNotificationSelector, std::ref(*this), userInfo);
  finish(BackgroundFetchResult::NoData);
}

int applicationMain(int, char**, std::string_view delegateClassName) {
  Application::launch(delegateClassName);
  runningMainLoop() = true;
  RunLoop::main().run();
  runningMainLoop() = false;
  return 0;
}

}  // namespace platform
