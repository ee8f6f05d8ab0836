#include "sdk/analytics/engine/apm_screen_view_reporter.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/runtime/associated_objects.h"
#include "platform/runtime/class.h"
#include "platform/ui/application.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_ad_exposure_reporter.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/events/apm_parameter_sanitizer.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "sdk/utilities/utilities/vul_swizzler.h"

namespace {

using platform::ViewController;
using platform::Window;
using Stack = std::vector<std::weak_ptr<ViewController>>;

// Keys of the associated objects: a controller's screen and a window's stack.
const char kScreenKey = 0;
const char kStackKey = 0;

std::string messageCode(long code) { return platform::format("I-ACS%06ld", code); }

APMObject stringObject(const std::string& value) { return APMObject(APMValue::initWithString(value)); }

bool isValidScreenValue(const std::string& value, APMDataTypeValidator::Code* failure = nullptr) {
  return APMDataTypeValidator::isValidScreenParameterValue(APMObject(value), failure);
}

std::shared_ptr<APMScreen> screenOf(const ViewController& controller) {
  return std::static_pointer_cast<APMScreen>(platform::runtime::getAssociatedObject(controller, &kScreenKey));
}
void setScreenOf(const ViewController& controller, std::shared_ptr<APMScreen> screen) {
  platform::runtime::setAssociatedObject(controller, &kScreenKey, std::move(screen));
}

// Main thread only, as the hooks are.
std::shared_ptr<Stack> stackOf(const Window& window, bool create) {
  auto stack = std::static_pointer_cast<Stack>(platform::runtime::getAssociatedObject(window, &kStackKey));
  if (!stack && create) {
    stack = std::make_shared<Stack>();
    platform::runtime::setAssociatedObject(window, &kStackKey, stack);
  }
  return stack;
}

void compact(Stack& stack) {
  std::erase_if(stack, [](const std::weak_ptr<ViewController>& entry) { return entry.expired(); });
}

std::shared_ptr<Window> keyWindow() {
  const auto application = APMAEU::sharedApplication();
  return application ? application->keyWindow() : nullptr;
}

// The class name without its module prefix.
std::string screenClassName(const ViewController& controller) {
  std::string name(controller.className());
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && dot + 1 < name.size()) name = name.substr(dot + 1);
  return name;
}

bool isInWindow(const ViewController& controller) {
  const auto view = controller.viewIfLoaded();
  return view && view->window();
}

// The platform's private controllers carry a leading "_" and are never screens of the app.
bool isTrackable(const ViewController& controller, const std::shared_ptr<Window>& window) {
  if (screenClassName(controller).starts_with('_')) return false;
  const auto view = controller.viewIfLoaded();
  return window && view && view->window() == window;
}

// What a controller shows of itself: what it presents, or itself while it is being presented.
std::shared_ptr<ViewController> descend(const std::shared_ptr<ViewController>& controller) {
  if (auto presented = controller->presentedViewController()) return presented;
  if (controller->isBeingPresented()) return controller;
  return nullptr;
}

std::shared_ptr<ViewController> topController(Stack& stack) {
  compact(stack);
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    const auto controller = it->lock();
    if (!controller || !isInWindow(*controller)) continue;
    const auto screen = screenOf(*controller);
    if (screen && screen->isManuallySet()) return controller;
  }
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    const auto controller = it->lock();
    if (!controller || !isInWindow(*controller)) continue;
    if (screenOf(*controller)) return controller;
    const auto shown = descend(controller);
    if (shown && isInWindow(*shown)) return shown;
  }
  if (stack.empty()) {
    APMLog(5, 31011, "Root view controller not found");
    return nullptr;
  }
  return stack.front().lock();
}

std::shared_ptr<APMSessionReporter> sessionReporter() {
  const auto engine = APMMeasurement::sharedInstanceIfCreated();
  return engine ? engine->sessionReporter() : nullptr;
}

bool isEngineEnabled() {
  const auto engine = APMMeasurement::sharedInstanceIfCreated();
  return engine && engine->isEnabled();
}

}  // namespace

// ---- the screen ----

APMDictionary APMScreen::parameters() const {
  APMDictionary parameters{{"_si", APMInt64Object(instanceID_)}};
  if (!className_.empty()) parameters["_sc"] = stringObject(className_);
  if (name_ && !name_->empty()) parameters["_sn"] = stringObject(*name_);
  return parameters;
}

// ---- creation and the hooks ----

APMScreenViewReporter& APMScreenViewReporter::sharedInstance() {
  static APMScreenViewReporter* instance = new APMScreenViewReporter();  // lives for the process
  return *instance;
}

APMScreenViewReporter::APMScreenViewReporter()
    : queue_(platform::DispatchQueue::serial("APMScreenViewReporter")),
      currentScreenInstanceID_(APMNumericUtil::randomInt64()) {
  auto& center = platform::NotificationCenter::defaultCenter();
  const std::weak_ptr<const void> owner = observerOwner_;
  center.addObserver(owner, std::string(platform::kWindowDidResignKeyNotification), nullptr,
                     [this](const platform::Notification&) { handleWindowDidResign(); });
  center.addObserver(owner, std::string(platform::kApplicationDidBecomeActiveNotification), nullptr,
                     [this](const platform::Notification&) { handleApplicationDidBecomeActive(); });
  center.addObserver(owner, std::string(platform::kApplicationWillResignActiveNotification), nullptr,
                     [this](const platform::Notification&) { handleApplicationWillResignActive(); });
  center.addObserver(owner, std::string(platform::kApplicationDidEnterBackgroundNotification), nullptr,
                     [this](const platform::Notification&) { handleApplicationDidEnterBackground(); });
}

bool APMScreenViewReporter::isScreenReportingEnabled() {
  const auto bundle = platform::Bundle::main();
  platform::Value value = bundle->objectForInfoDictionaryKey(kAPMScreenReportingEnabledKey);
  if (value.isNull()) value = bundle->objectForInfoDictionaryKey(kAPMAutomaticScreenReportingEnabledKey);
  return !value.isNumber() || value.boolValue();
}

void APMScreenViewReporter::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Made now so that it hears the app's first activation.
    sharedInstance();
    if (!isScreenReportingEnabled()) {
      VULLoggerLogInfo(kAPMScreenReportingLogService, true, messageCode(36001),
                       "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
      return;
    }
    if (platform::runtime::classNamed("VDZADatabase")) {
      VULLoggerLogWarning(kAPMScreenReportingLogService, false, messageCode(36005),
                          "Detected an older version of Videzu Analytics for Vuduzara framework. Please upgrade to the "
                          "latest version of Videzu Analytics for Vuduzara.");
      return;
    }
    const auto cls = platform::viewControllerClass();
    const auto appear = VULSwizzler::currentImplementationForClass(cls, platform::kViewDidAppearSelector, false);
    if (!appear) {
      VULLoggerLogWarning(kAPMScreenReportingLogService, false, messageCode(36003),
                          "Failed to get old implementation of -[UIViewController viewDidAppear:]. UIViewController "
                          "transitions will not be logged.");
      return;
    }
    const auto disappear = VULSwizzler::currentImplementationForClass(cls, platform::kViewDidDisappearSelector, false);
    if (!disappear) {
      VULLoggerLogWarning(kAPMScreenReportingLogService, false, messageCode(36004),
                          "Failed to get old implementation of -[UIViewController viewDidDisappear:]. "
                          "UIViewController transitions will not be logged.");
      return;
    }
    // Each replacement runs the saved implementation first, then tells the reporter.
    const auto hook = [&cls](std::string_view selector, platform::runtime::IMP saved,
                             void (APMScreenViewReporter::*tell)(ViewController&)) {
      VULSwizzler::swizzleClass(cls, selector, false,
                                [saved, tell](platform::runtime::Object& self, const platform::runtime::Arguments& args) {
                                  std::any result = (*saved)(self, args);
                                  if (auto* controller = dynamic_cast<ViewController*>(&self)) {
                                    (sharedInstance().*tell)(*controller);
                                  }
                                  return result;
                                });
    };
    hook(platform::kViewDidAppearSelector, appear, &APMScreenViewReporter::viewControllerDidAppear);
    hook(platform::kViewDidDisappearSelector, disappear, &APMScreenViewReporter::viewControllerDidDisappear);
  });
}

void APMScreenViewReporter::resetForTesting() {
  queue_->sync([] {});
  platform::MutexLock lock(mutex_);
  currentViewController_.reset();
  vuduzaraPerfDelegate_.reset();
  currentScreen_.reset();
  previousScreen_.reset();
  allowScreenParameters_ = true;
  isAppActive_ = false;
  appHasBeenInitialized_ = false;
}

// ---- appear and disappear ----

void APMScreenViewReporter::viewControllerDidAppear(ViewController& controller) {
  const auto window = keyWindow();
  if (!window) return;
  auto stack = stackOf(*window, true);
  const auto self = controller.shared_from_this();
  if (window->rootViewController() == self && !stack->empty() && stack->front().lock() != self) {
    stack = std::make_shared<Stack>();
    platform::runtime::setAssociatedObject(*window, &kStackKey, stack);
  }
  std::erase_if(*stack, [&](const std::weak_ptr<ViewController>& entry) { return entry.lock() == self; });
  const bool trackable = isTrackable(controller, window);
  if (trackable) stack->push_back(self);
  updateCurrentViewControllerOfWindow(*window);
  if (const auto delegate = vuduzaraPerfDelegate()) delegate->viewControllerDidAppear(controller, trackable);
}

void APMScreenViewReporter::viewControllerDidDisappear(ViewController& controller) {
  const auto window = keyWindow();
  if (!window) return;
  const auto stack = stackOf(*window, true);
  const auto self = controller.shared_from_this();
  if (!stack->empty() && stack->front().lock() != self) {
    std::erase_if(*stack, [&](const std::weak_ptr<ViewController>& entry) { return entry.lock() == self; });
  }
  updateCurrentViewControllerOfWindow(*window);
  if (const auto delegate = vuduzaraPerfDelegate()) delegate->viewControllerDidDisappear(controller);
}

void APMScreenViewReporter::handleWindowDidResign() {
  const auto window = keyWindow();
  if (!window) return;
  const auto stack = stackOf(*window, false);
  if (stack && !stack->empty()) updateCurrentViewControllerOfWindow(*window);
}

void APMScreenViewReporter::updateCurrentViewControllerOfWindow(Window& window) {
  const auto stack = stackOf(window, true);
  const auto top = topController(*stack);
  if (top && isTrackable(*top, keyWindow())) setCurrentViewController(top);
}

// ---- the current screen ----

std::int64_t APMScreenViewReporter::incrementScreenInstanceID() { return ++currentScreenInstanceID_; }

std::shared_ptr<APMScreen> APMScreenViewReporter::currentScreen() const {
  platform::MutexLock lock(mutex_);
  return currentScreen_;
}

void APMScreenViewReporter::setCurrentViewController(const std::shared_ptr<ViewController>& controller) {
  if (!controller) {
    APMLog(3, 31005, "Received nil view controller");
    return;
  }
  queue_->sync([&] {
    std::string className = screenClassName(*controller);
    {
      platform::MutexLock lock(mutex_);
      if (isEngineEnabled() && currentViewController_.lock() == controller) {
        APMLog(7, 31006, "View controller already tracked. Class, ID", className,
               currentScreen_ ? APMInt64Object(currentScreen_->instanceID()) : APMObject());
        return;
      }
    }
    if (className.size() > kAPMMaxScreenClassLength) {
      const std::string original = className;
      className.resize(kAPMMaxScreenClassLength);
      APMLog(7, 31007, "Trimmed name of default screen class. Original screen class, trimmed screen class", original,
             className);
    }
    if (!isValidScreenValue(className)) {
      APMLog(3, 31008, "Received invalid default screen class", className);
      return;
    }
    auto screen = screenOf(*controller);
    if (!screen) {
      screen = std::make_shared<APMScreen>(std::nullopt, className, incrementScreenInstanceID());
      setScreenOf(*controller, screen);
    }
    std::shared_ptr<APMScreen> previous;
    {
      platform::MutexLock lock(mutex_);
      currentViewController_ = controller;
      if (screen == currentScreen_) return;
      if (isEngineEnabled()) {
        APMLog(7, 31010, "Tracking view controller. Class, ID", className, APMInt64Object(screen->instanceID()));
      }
      previousScreen_ = currentScreen_ ? currentScreen_->copy() : nullptr;
      previous = previousScreen_;
      currentScreen_ = screen;
    }
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    if (isScreenReportingEnabled()) logViewScreenEventWithPreviousScreen(previous, screen, {});
  });
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
  if (!isScreenReportingEnabled()) {
    APMLog(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  if (screenName && !isValidScreenValue(*screenName)) {
    APMLog(3, 31001, "Received invalid screen name", *screenName);
    return;
  }
  if (screenClass && !isValidScreenValue(*screenClass)) {
    APMLog(3, 31002, "Received invalid screen class", *screenClass);
    return;
  }
  const auto window = keyWindow();
  const auto stack = window ? stackOf(*window, false) : nullptr;
  std::shared_ptr<ViewController> controller;
  if (stack) {
    compact(*stack);
    if (!stack->empty()) controller = stack->back().lock();
  }
  queue_->sync([&] {
    if (!controller) {
      APMLog(3, 31003, "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    std::shared_ptr<APMScreen> previous;
    std::shared_ptr<APMScreen> screen;
    {
      platform::MutexLock lock(mutex_);
      std::string className = screenClass.value_or(screenClassName(*controller));
      if (className.empty() && currentScreen_) className = currentScreen_->className();
      if (currentScreen_ && currentScreen_->name() == screenName && currentScreen_->className() == className) {
        APMLog(7, 31004, "Ignoring duplicate screen name and screen class");
        return;
      }
      screen = std::make_shared<APMScreen>(screenName, className, incrementScreenInstanceID());
      screen->setManuallySet(true);
      setScreenOf(*controller, screen);
      currentViewController_ = controller;
      APMLog(7, 31009, "Set screen name and screen class", screenName ? APMObject(*screenName) : APMObject(), className);
      previousScreen_ = currentScreen_ ? currentScreen_->copy() : nullptr;
      previous = previousScreen_;
      currentScreen_ = screen;
    }
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    logViewScreenEventWithPreviousScreen(previous, screen, {});
  });
}

void APMScreenViewReporter::trackScreenWithParameters(const APMDictionary& parameters, double timestamp) {
  if (!isAppActive_ && appHasBeenInitialized_) {
    APMLog(3, 31026, "Cannot log screen view event when the app is not active");
    return;
  }
  std::optional<std::string> name;
  std::optional<std::string> className;
  if (auto it = parameters.find("screen_name"); it != parameters.end()) {
    if (!APMDataTypeValidator::isValidScreenParameterValue(it->second, nullptr) || !it->second.ifString()) {
      APMLog(3, 31027, "Received invalid name for screen", it->second);
      return;
    }
    name = *it->second.ifString();
  }
  if (auto it = parameters.find("screen_class"); it != parameters.end()) {
    if (!APMDataTypeValidator::isValidScreenParameterValue(it->second, nullptr) || !it->second.ifString()) {
      APMLog(3, 31028, "Received invalid class for screen", it->second);
      return;
    }
    className = *it->second.ifString();
  }
  if (!className) {
    if (platform::DispatchQueue::isMainThread()) {
      const auto window = keyWindow();
      if (const auto root = window ? window->rootViewController() : nullptr) className = screenClassName(*root);
    } else if (isScreenReportingEnabled()) {
      if (const auto current = currentScreen()) className = current->className();
    }
  }
  auto screen = std::make_shared<APMScreen>(name, className.value_or(std::string()), incrementScreenInstanceID());
  screen->setManuallyTracked(true);
  screen->setEventTimestamp(timestamp);
  APMLog(7, 31029, "Logging screen view with screen name and screen class", name ? APMObject(*name) : APMObject(),
         className ? APMObject(*className) : APMObject());
  std::shared_ptr<APMScreen> former;
  queue_->sync([&] {
    platform::MutexLock lock(mutex_);
    former = currentScreen_;
    currentScreen_ = screen;
  });
  queue_->async([this, former, screen, parameters] {
    postScreenDidChangeNotificationWithPreviousScreen(former, screen);
    APMDictionary rest = APMSanitizeEventParameters(parameters, "screen_view", true, false).value_or(APMDictionary());
    rest.erase("screen_name");
    rest.erase("screen_class");
    std::shared_ptr<APMScreen> previous;
    {
      platform::MutexLock lock(mutex_);
      previous = previousScreen_;
    }
    logViewScreenEventWithPreviousScreen(previous, screen, rest);
  });
}

// ---- reporting a change ----

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<APMScreen>& previous,
                                                                             const std::shared_ptr<APMScreen>& next) {
  if (!isAppActive_) return;
  if (!previous) return;
  if (const auto reporter = sessionReporter()) reporter->handleScreenDidChangeFromScreen(previous, next);
  APMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(
      previous->parameters(), next ? std::optional<APMDictionary>(next->parameters()) : std::nullopt);
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMScreen>& previous,
                                                                const std::shared_ptr<APMScreen>& next,
                                                                const APMDictionary& given) {
  if (!next) return;
  if (!isAppActive_ && appHasBeenInitialized_) {
    APMLog(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  APMDictionary parameters = given;
  parameters["_si"] = APMInt64Object(next->instanceID());
  APMDataTypeValidator::Code failure = 0;
  if (next->className().empty()) {
    APMLog(3, 31014, "Screen class name is empty");
  } else if (!isValidScreenValue(next->className(), &failure)) {
    APMLog(3, 31015, "Screen class name is invalid. Error code", APMInt64Object(failure));
  } else {
    parameters["_sc"] = stringObject(next->className());
    if (next->name() && isValidScreenValue(*next->name())) parameters["_sn"] = stringObject(*next->name());
  }
  if (previous) {
    parameters["_pi"] = APMInt64Object(previous->instanceID());
    if (!previous->className().empty() && isValidScreenValue(previous->className())) {
      parameters["_pc"] = stringObject(previous->className());
    }
    if (previous->name() && isValidScreenValue(*previous->name())) parameters["_pn"] = stringObject(*previous->name());
  }
  if (APMMeasurement::sharedInstanceIfCreated() && APMMeasurement::remoteConfig()->efficientEngagementReportingEnabled()) {
    if (const auto reporter = sessionReporter()) {
      const std::int64_t engagement = reporter->cutFreerideEngagementTimeMillis();
      if (engagement >= 1) parameters["_et"] = APMInt64Object(engagement);
    }
  }
  if (!isScreenReportingEnabled()) parameters["_mst"] = APMInt64Object(1);
  if (!APMHasScreenParameters(parameters)) {
    APMLog(1, 31012, "Screen view event not logged. Screen parameters were empty");
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    previousScreen_ = next;
  }
  if (next->isManuallyTracked()) {
    APMAnalytics::logInternalEventWithOrigin("app", "_vs", next->eventTimestamp(), parameters);
  } else {
    APMAnalytics::logInternalEventWithOrigin("auto", "_vs", parameters);
  }
}

// ---- what others read ----

APMDictionary APMScreenViewReporter::screenParameters() const {
  if (isAppActive_ || !appHasBeenInitialized_) {
    platform::MutexLock lock(mutex_);
    if ((isScreenReportingEnabled() || currentScreen_) && allowScreenParameters_ && currentScreen_) {
      return currentScreen_->parameters();
    }
  }
  return {};
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) const {
  const auto current = currentScreen();
  if (screenName) *screenName = current ? current->name() : std::nullopt;
  if (screenClass) *screenClass = current ? std::optional<std::string>(current->className()) : std::nullopt;
}

void APMScreenViewReporter::setVuduzaraPerfDelegate(const std::shared_ptr<APMScreenViewReporterDelegate>& delegate) {
  platform::MutexLock lock(mutex_);
  if (delegate && vuduzaraPerfDelegate_.lock()) {
    APMLog(3, 31016, "Tried to override screen reporter delegate");
    return;
  }
  vuduzaraPerfDelegate_ = delegate;
}

std::shared_ptr<APMScreenViewReporterDelegate> APMScreenViewReporter::vuduzaraPerfDelegate() const {
  platform::MutexLock lock(mutex_);
  return vuduzaraPerfDelegate_.lock();
}

// ---- application state ----

void APMScreenViewReporter::handleApplicationDidBecomeActive() {
  isAppActive_ = true;
  appHasBeenInitialized_ = true;
  if (const auto reporter = sessionReporter()) reporter->handleAppDidBecomeActive();
  APMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
  queue_->async([this] {
    std::shared_ptr<APMScreen> current;
    std::shared_ptr<APMScreen> previous;
    {
      platform::MutexLock lock(mutex_);
      current = currentScreen_;
      previous = previousScreen_;
    }
    const bool alreadyLogged = previous && current && previous->instanceID() == current->instanceID();
    if (current && !alreadyLogged && isScreenReportingEnabled()) {
      logViewScreenEventWithPreviousScreen(previous, current, {});
    }
  });
}

void APMScreenViewReporter::handleApplicationWillResignActive() {
  std::shared_ptr<APMScreen> screen;
  if (isScreenReportingEnabled() && isAppActive_) {
    queue_->sync([&] {
      if (allowScreenParameters_) screen = currentScreen();
    });
  }
  if (const auto reporter = sessionReporter()) reporter->handleAppWillResignActiveWithScreen(screen);
  APMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(
      screen ? std::optional<APMDictionary>(screen->parameters()) : std::nullopt);
}

void APMScreenViewReporter::handleApplicationDidEnterBackground() { isAppActive_ = false; }
