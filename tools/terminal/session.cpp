#include "tools/terminal/session.h"

#include <algorithm>
#include <cctype>

#include "app/main_entry.h"
#include "platform/foundation/console.h"
#include "platform/foundation/user_defaults.h"
#include "platform/motion/motion_driver.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/image.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace terminal {

namespace {

constexpr std::size_t kConsoleLines = 300;

// Accelerations in g of the poses the user can hold the phone in. Lifted is the phone held in
// the hand at an angle between the detector's windows: only the uncovered sensor tells.
constexpr platform::Acceleration kFaceUp{0, 0, -1};
constexpr platform::Acceleration kFaceDown{0, 0, 1};
constexpr platform::Acceleration kLifted{0, -0.7071, -0.7071};

// The text in double quotes, for messages.
std::string inQuotes(std::string_view text) {
  std::string out(1, '"');
  out += text;
  out += '"';
  return out;
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string screenAlias(std::string_view className) {
  if (className == "ViewController") return "focus";
  if (className == "AlertController") return "alert";
  if (className == "MailComposeViewController") return "mail";
  constexpr std::string_view kSuffix = "ViewController";
  if (className.size() > kSuffix.size() && className.substr(className.size() - kSuffix.size()) == kSuffix) {
    return lowercase(className.substr(0, className.size() - kSuffix.size()));
  }
  return lowercase(className);
}

bool matchesName(const platform::View& view, std::string_view target) {
  if (view.accessibilityIdentifier() == target) return true;
  if (auto* b = dynamic_cast<const platform::Button*>(&view)) {
    if (b->currentTitle() && *b->currentTitle() == target) return true;
    if (auto image = b->currentImage(); image && image->name() == target) return true;
  }
  if (auto* l = dynamic_cast<const platform::Label*>(&view)) return l->text() == target;
  return false;
}

std::shared_ptr<platform::TextField> frontTextField() {
  auto fields = platform::UIDriver::findAll([](const platform::View& v) {
    return dynamic_cast<const platform::TextField*>(&v) != nullptr && platform::UIDriver::isVisible(v);
  });
  if (fields.empty()) return nullptr;
  return std::static_pointer_cast<platform::TextField>(fields.front());
}

}  // namespace

std::string_view poseName(Pose pose) {
  switch (pose) {
    case Pose::FaceUp:
      return "face up";
    case Pose::FaceDown:
      return "face down";
    case Pose::Lifted:
      return "lifted";
  }
  return "?";
}

Session::Session(Options options) : options_(std::move(options)), console_(std::make_shared<ConsoleTail>()) {
  platform::Device::current().setModel(options_.device);
  const platform::Size size = options_.screenSize();
  platform::Screen::main().setSize(size);
  double scale = 2;
  for (const auto& profile : platform::kScreenProfiles) {
    if (profile.size == size) scale = profile.scale;
  }
  platform::Screen::main().setScale(scale);
  startUptime_ = platform::Clock::current().uptime();

  std::weak_ptr<ConsoleTail> tail = console_;
  consoleSink_ = platform::Console::addSink([tail](platform::Console::Stream, std::string_view line) {
    auto t = tail.lock();
    if (!t) return;
    std::lock_guard lock(t->mutex);
    t->lines.emplace_back(line);
    if (t->lines.size() > kConsoleLines) t->lines.erase(t->lines.begin());
  });
  if (options_.photos) setPhotoPermission(*options_.photos);
  if (options_.notifications) setNotificationPermission(*options_.notifications);
  if (options_.mail) setMailSetup(*options_.mail);
}

Session::~Session() { platform::Console::removeSink(consoleSink_); }

void Session::launch() {
  app_ = launchFocusApp();
  settle();
  setPose(Pose::FaceUp);
}

void Session::terminate() {
  platform::MotionDriver::clearHeldPose();
  platform::UIDriver::terminate();
  settle();
  platform::UserDefaults::flushAll();
}

void Session::setPose(Pose pose) {
  pose_ = pose;
  auto hold = [](const platform::Acceleration& a) { platform::MotionDriver::setHeldPose(a.x, a.y, a.z); };
  switch (pose) {
    case Pose::FaceDown:
      // The sensor is covered before the first face-down reading arrives, as when a phone is
      // laid on a table.
      platform::UIDriver::setProximityCovered(true);
      hold(kFaceDown);
      break;
    case Pose::FaceUp:
      hold(kFaceUp);
      platform::UIDriver::setProximityCovered(false);
      break;
    case Pose::Lifted:
      platform::UIDriver::setProximityCovered(false);
      hold(kLifted);
      break;
  }
  settle();
}

void Session::setSensorCovered(bool covered) {
  platform::UIDriver::setProximityCovered(covered);
  settle();
}

void Session::enterBackground() {
  // Leaving the app takes the touch away: no tap, a long press ends as cancelled.
  if (isPressing()) platform::UIDriver::longPressCancel();
  pressedName_.clear();
  platform::UIDriver::enterBackground();
  settle();
}

void Session::enterForeground() {
  platform::UIDriver::enterForeground();
  settle();
}

bool Session::isInBackground() const {
  auto app = platform::Application::shared();
  return app && app->applicationState() == platform::ApplicationState::Background;
}

void Session::settle() { platform::testing::runUntilIdle(); }

void Session::advance(double seconds) { platform::testing::advance(seconds); }

double Session::elapsed() const { return platform::Clock::current().uptime() - startUptime_; }

std::shared_ptr<platform::ViewController> Session::topScreen() const { return platform::UIDriver::topViewController(); }

std::string Session::screenName() const {
  auto screen = topScreen();
  if (!screen) return "none";
  return std::string(screen->className());
}

bool Session::isScreenNamed(std::string_view name) const {
  auto screen = topScreen();
  if (!screen) return lowercase(name) == "none";
  return screen->className() == name || screenAlias(screen->className()) == lowercase(name);
}

std::vector<Tappable> Session::tappables() const {
  // Nobody touches an app that is not in front.
  if (isInBackground()) return {};
  return tappableControls(platform::UIDriver::keyWindow());
}

bool Session::inFront(std::string& error) const {
  if (!isInBackground()) return true;
  error = "the app is in the background: bring it to the front first";
  return false;
}

std::shared_ptr<platform::View> Session::find(std::string_view target) const {
  if (target.empty()) return nullptr;
  auto controls = tappables();
  if (std::all_of(target.begin(), target.end(), [](unsigned char c) { return std::isdigit(c); })) {
    std::size_t number = 0;
    for (char c : target) number = std::min<std::size_t>(number * 10 + static_cast<std::size_t>(c - '0'), 100000);
    if (number >= 1 && number <= controls.size()) return controls[number - 1].view;
  }
  for (const auto& t : controls) {
    if (t.name == target || matchesName(*t.view, target)) return t.view;
  }
  auto views = platform::UIDriver::findAll(
      [target](const platform::View& v) { return platform::UIDriver::isVisible(v) && matchesName(v, target); });
  return views.empty() ? nullptr : views.front();
}

bool Session::tap(std::string_view target, std::string& error) {
  if (!inFront(error)) return false;
  auto view = find(target);
  if (!view) {
    error = "nothing on the screen is called \"" + std::string(target) + "\"";
    return false;
  }
  const bool reached = platform::UIDriver::tap(*view);
  settle();
  if (!reached) error = inQuotes(target) + " is covered or disabled: the tap did not reach it";
  return reached;
}

bool Session::swipe(std::string_view target, std::string_view direction, std::string& error) {
  platform::SwipeDirection d;
  if (direction == "up") {
    d = platform::kSwipeDirectionUp;
  } else if (direction == "down") {
    d = platform::kSwipeDirectionDown;
  } else if (direction == "left") {
    d = platform::kSwipeDirectionLeft;
  } else if (direction == "right") {
    d = platform::kSwipeDirectionRight;
  } else {
    error = "a swipe goes up, down, left or right, not \"" + std::string(direction) + "\"";
    return false;
  }
  if (!inFront(error)) return false;
  auto view = find(target);
  if (!view) {
    error = "nothing on the screen is called \"" + std::string(target) + "\"";
    return false;
  }
  const bool taken = platform::UIDriver::swipe(*view, d);
  settle();
  if (!taken) error = "nothing took the swipe on \"" + std::string(target) + "\"";
  return taken;
}

bool Session::playPause(std::string& error) {
  if (!inFront(error)) return false;
  if (!platform::UIDriver::findByAccessibilityIdentifier("startButton")) {
    error = "no play/pause button on this screen (on an iPhone, periods start face down)";
    return false;
  }
  return tap("startButton", error);
}

bool Session::openResetSheet(std::string& error) { return tap("closeButton", error); }

bool Session::choose(std::string_view actionTitle, std::string& error) {
  if (!inFront(error)) return false;
  auto alert = platform::UIDriver::presentedAlert();
  if (!alert) {
    error = "no alert or sheet is up";
    return false;
  }
  const bool chosen = platform::UIDriver::chooseAlertAction(actionTitle);
  settle();
  if (!chosen) {
    std::string titles;
    for (const auto& action : alert->actions()) {
      if (!titles.empty()) titles += ", ";
      titles += inQuotes(action->title().value_or(""));
    }
    error = "the alert has no action \"" + std::string(actionTitle) + "\" to choose (it has " + titles + ")";
  }
  return chosen;
}

bool Session::type(std::string_view text, std::string& error) {
  if (!inFront(error)) return false;
  auto field = frontTextField();
  if (!field) {
    error = "no text field on the screen";
    return false;
  }
  const bool took = platform::UIDriver::typeText(*field, text);
  settle();
  if (!took) error = "the field refused some of the keystrokes; it holds \"" + field->text() + "\"";
  return took;
}

bool Session::pressReturn(std::string& error) {
  if (!inFront(error)) return false;
  auto field = frontTextField();
  if (!field) {
    error = "no text field on the screen";
    return false;
  }
  platform::UIDriver::pressReturn(*field);
  settle();
  return true;
}

bool Session::dismissSheet(std::string& error) {
  if (!inFront(error)) return false;
  const bool dismissed = platform::UIDriver::swipeDownSheet();
  settle();
  if (!dismissed) error = "no sheet in front that a swipe can dismiss";
  return dismissed;
}

bool Session::pressBegin(std::string_view target, std::string& error) {
  if (!inFront(error)) return false;
  if (isPressing()) {
    error = "a finger already holds \"" + pressedName_ + "\": release it first";
    return false;
  }
  auto view = find(target);
  if (!view) {
    error = "nothing on the screen is called \"" + std::string(target) + "\"";
    return false;
  }
  // Only what a touch reaches is pressed: a finger on a covered control would press whatever
  // covers it, and its release would tap that.
  auto controls = tappables();
  auto reached = std::find_if(controls.begin(), controls.end(), [&](const Tappable& t) { return t.view == view; });
  if (reached == controls.end()) {
    error = inQuotes(target) + " is covered or disabled: the press would not reach it";
    return false;
  }
  if (!platform::UIDriver::longPressBegin(*view)) {
    error = "the press on " + inQuotes(target) + " did not begin";
    return false;
  }
  pressedName_ = reached->name;
  if (const auto& id = view->accessibilityIdentifier(); !id.empty() && id != pressedName_) {
    pressedName_ += " (" + id + ")";
  }
  pressStart_ = platform::Clock::current().uptime();
  settle();
  return true;
}

bool Session::pressEnd(std::string& error) {
  if (!isPressing()) {
    pressedName_.clear();
    error = "no finger holds anything";
    return false;
  }
  platform::UIDriver::longPressEnd();
  pressedName_.clear();
  settle();
  return true;
}

bool Session::isPressing() const {
  auto window = platform::UIDriver::keyWindow();
  return window && window->isPressing();
}

double Session::pressedFor() const {
  return isPressing() ? platform::Clock::current().uptime() - pressStart_ : 0;
}

void Session::setPhotoPermission(const PhotoPermission& permission) {
  photos_ = permission;
  applyPhotoPermission(permission);
  settle();
}

void Session::setNotificationPermission(const NotificationPermission& permission) {
  notifications_ = permission;
  applyNotificationPermission(permission);
  settle();
}

void Session::setMailSetup(MailSetup setup) {
  mail_ = setup;
  applyMailSetup(setup);
  settle();
}

std::vector<std::string> Session::consoleLines() const {
  std::lock_guard lock(console_->mutex);
  return console_->lines;
}

}  // namespace terminal
