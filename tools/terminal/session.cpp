#include "tools/terminal/session.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <fstream>
#include <iostream>
#include <iterator>
#include <utility>

#include "app/main_entry.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/console.h"
#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/store/payment_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"
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
#include "platform/ui/png_text.h"
#include "platform/ui/screen.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace terminal {

namespace {

constexpr std::size_t kConsoleLines = 300;
// How long a quit lets background tasks finish, in virtual seconds, and the step it waits by.
constexpr double kQuitGraceSeconds = 3;
constexpr double kQuitStepSeconds = 0.1;
// How long a quit takes at most, in real seconds, however long the session waited before: the
// work the app queued on leaving (the SDK writing what leaving owes) and every wait for another
// process's hold on a shared file (the preferences), the exit's included, together. The waits end
// the exit's own time before that, so that the process has ended by then.
constexpr double kQuitSeconds = 5;
constexpr double kExitSeconds = 0.5;
constexpr double kQuitWaitSeconds = kQuitSeconds - kExitSeconds;

void sayOnStandardError(const std::string& line) { std::cerr << "focus-timer: " << line << std::endl; }

// Accelerations in g of the poses the user can hold the phone in. Lifted is the phone held in
// the hand at an angle between the detector's windows: only the uncovered sensor tells.
constexpr platform::Acceleration kFaceUp{0, 0, -1};
constexpr platform::Acceleration kFaceDown{0, 0, 1};
constexpr platform::Acceleration kLifted{0, -0.7071, -0.7071};
// Standing on its bottom edge, lying on its left or right edge, standing on its top edge.
constexpr platform::Acceleration kUpright{0, -1, 0};
constexpr platform::Acceleration kLeftSide{-1, 0, 0};
constexpr platform::Acceleration kRightSide{1, 0, 0};
constexpr platform::Acceleration kUpsideDown{0, 1, 0};

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
    case Pose::Upright:
      return "upright";
    case Pose::LeftSide:
      return "on its left side";
    case Pose::RightSide:
      return "on its right side";
    case Pose::UpsideDown:
      return "upside down";
    case Pose::Raw:
      return "reading";
  }
  return "?";
}

Session::Session(Options options)
    : options_(std::move(options)), onGiveUp_(sayOnStandardError), console_(std::make_shared<ConsoleTail>()) {
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
    platform::MutexLock lock(t->mutex);
    t->lines.emplace_back(line);
    if (t->lines.size() > kConsoleLines) t->lines.erase(t->lines.begin());
  });
  if (options_.photos) setPhotoPermission(*options_.photos);
  if (options_.notifications) setNotificationPermission(*options_.notifications);
  if (options_.mail) setMailSetup(*options_.mail);
  if (options_.timezone) setTimeZone(*options_.timezone);
  setHapticSupport(options_.haptics);
  setTorchSetup(options_.torch.value_or(TorchSetup::Yes));
  for (const auto& asset : options_.assets) setAssetState(asset);
}

Session::~Session() { platform::Console::removeSink(consoleSink_); }

void Session::launch() {
  platform::Value::Dictionary launchOptions;
  if (options_.openURL) launchOptions[std::string(platform::kApplicationLaunchOptionsURLKey)] = *options_.openURL;
  app_ = launchFocusApp(launchOptions);
  settle();
  setPose(Pose::FaceUp);
}

void Session::terminate() {
  // The quit gets its own few seconds; a stall before it does not cost it them. It waits as a
  // script does, the time still owed to a front end that kept pace given up, each wait for the
  // app's work taking what is left of them, and no process's hold on a file outlasts them.
  using SteadyClock = std::chrono::steady_clock;
  const auto quitEnd = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                std::chrono::duration<double>(kQuitWaitSeconds));
  platform::UserDefaults::endWithin(kQuitWaitSeconds);
  auto waitLeft = [&] {
    backgroundWait_ = std::max(0.0, std::chrono::duration<double>(quitEnd - SteadyClock::now()).count());
  };
  const auto savedWait = std::exchange(backgroundWait_, kQuitWaitSeconds);
  const auto savedPace = std::exchange(frameSeconds_, std::nullopt);
  owed_ = 0;
  // Each wait takes what is left of the quit's time, so a wait that ends with the work still busy
  // ends the quit's time: said once, with the whole of it.
  auto savedOnGiveUp = setOnBackgroundGiveUp([said = false](const std::string&) mutable {
    if (std::exchange(said, true)) return;
    sayOnStandardError(platform::format(
        "quitting: the app's background work was still busy when the quit's %g s of real time ran out; ending "
        "without it",
        kQuitWaitSeconds));
  });
  stalled_ = false;
  platform::MotionDriver::clearHeldPose();
  // On the phone the app leaves the front before it is ended: the SDK hears it resign and go to
  // the background, and writes what it owes then (the engagement since its last report).
  enterBackground();
  // Work that holds a background task open (an upload on its way) gets a little time; the
  // engine's upload task can stay open until its next upload, so nothing waits for all of it.
  const auto app = platform::Application::shared();
  const double deadline = elapsed() + kQuitGraceSeconds;
  while (app && app->openBackgroundTaskCount() > 0 && elapsed() < deadline) {
    waitLeft();
    advance(kQuitStepSeconds);
  }
  waitLeft();
  platform::UIDriver::terminate();
  settle();
  // Settings left unsaved are said where the user finds them: the pane is gone, standard error is
  // the interactive session's log file.
  for (const auto& line : platform::UserDefaults::flushAll()) sayOnStandardError("quitting: " + line);
  backgroundWait_ = savedWait;
  frameSeconds_ = savedPace;
  onGiveUp_ = std::move(savedOnGiveUp);
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
    case Pose::Upright:
    case Pose::LeftSide:
    case Pose::RightSide:
    case Pose::UpsideDown:
      platform::UIDriver::setProximityCovered(false);
      hold(pose == Pose::Upright    ? kUpright
           : pose == Pose::LeftSide ? kLeftSide
           : pose == Pose::RightSide ? kRightSide
                                     : kUpsideDown);
      break;
    case Pose::Raw:
      hold(rawPose_);
      break;
  }
  settle();
}

void Session::setRawPose(double x, double y, double z) {
  rawPose_ = {x, y, z};
  setPose(Pose::Raw);
}

std::string Session::poseDescription() const {
  if (pose_ != Pose::Raw) return std::string(poseName(pose_));
  return platform::format("reading %g %g %g", rawPose_.x, rawPose_.y, rawPose_.z);
}

void Session::setSensorCovered(bool covered) {
  platform::UIDriver::setProximityCovered(covered);
  settle();
}

void Session::enterBackground() {
  // Leaving the app takes the touch away: no tap, a long press ends as cancelled.
  if (isPressing() && !pressIgnored_) platform::UIDriver::longPressCancel();
  pressIgnored_ = false;
  pressedName_.clear();
  platform::UIDriver::enterBackground();
  settle();
}

bool Session::openURL(const std::string& url) {
  const auto app = platform::Application::shared();
  const bool taken = app && app->deliverOpenURL(url);
  settle();
  return taken;
}

void Session::purchase(const std::string& productID, const std::string& price) {
  platform::store::StoreCatalog::addProduct({productID, price, "USD", productID, std::nullopt});
  platform::store::PaymentQueue::defaultQueue().purchase(productID);
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

void Session::settle() {
  if (frameSeconds_) return keepUp();
  if (!backgroundWait_) return requireIdle(platform::testing::runUntilIdleWithin(backgroundLimit_));
  const double wait = stalled_ ? 0 : *backgroundWait_;
  noteBackground(platform::testing::runUntilIdleWaitingAtMost(wait), wait);
}

void Session::advance(double seconds) {
  if (frameSeconds_) {
    owed_ += seconds;
    return keepUp();
  }
  if (!backgroundWait_) return requireIdle(platform::testing::advanceWithin(seconds, backgroundLimit_));
  const double wait = stalled_ ? 0 : *backgroundWait_;
  noteBackground(platform::testing::advanceWaitingAtMost(seconds, wait), wait);
}

void Session::requireIdle(bool idle) {
  busy_ = !idle;
  if (idle) return;
  throw BackgroundStillBusy(platform::format(
      "the app's background work was still busy after %g s of real time (%ld work items): the session stops here "
      "rather than go on without it",
      backgroundLimit_, platform::WorkTracker::outstanding()));
}

void Session::keepPace(double frameSeconds) { frameSeconds_ = frameSeconds; }

void Session::keepUp() {
  const double asked = std::exchange(owed_, 0);
  if (stalled_) {
    // Going on without the app's own work, as a session that stopped waiting does, until that
    // work has been idle once.
    platform::testing::advanceWaitingAtMost(asked, 0);
  } else {
    const double moved = platform::testing::advancePaced(asked, *frameSeconds_);
    if (moved < asked) owed_ = asked - moved;
  }
  const bool ownIdle = platform::WorkTracker::ownOutstanding() == 0;
  const auto now = std::chrono::steady_clock::now();
  if (ownIdle || stalled_) {
    busySince_.reset();
    noteBackground(ownIdle, 0);
  } else if (!busySince_) {
    busySince_ = now;
  } else if (now - *busySince_ >= std::chrono::duration<double>(kStuckSeconds)) {
    busySince_.reset();
    noteBackground(false, kStuckSeconds);
  }
  busy_ = platform::WorkTracker::outstanding() > 0;
}

std::function<void(const std::string&)> Session::setOnBackgroundGiveUp(
    std::function<void(const std::string&)> onGiveUp) {
  return std::exchange(onGiveUp_, std::move(onGiveUp));
}

void Session::noteBackground(bool idle, double waited) {
  busy_ = !idle;
  if (idle) {
    stalled_ = false;
    return;
  }
  if (stalled_) return;
  stalled_ = true;
  if (onGiveUp_) {
    onGiveUp_(platform::format("the app's background work was still busy after %g s of real time; going on without "
                               "waiting for it",
                               waited));
  }
}

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
  if (ignoredAsDisabled(*view, target, error)) return true;
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

std::shared_ptr<platform::TextField> Session::textField(std::string& error) const {
  if (!inFront(error)) return nullptr;
  auto field = frontTextField();
  if (!field) error = "no text field on the screen";
  return field;
}

platform::TextRange Session::editRange(platform::TextField& field) {
  if (selectedField_.lock().get() == &field) return {0, field.utf16Length()};
  return {field.utf16Length(), 0};
}

bool Session::type(std::string_view text, std::string& error) {
  auto field = textField(error);
  if (!field) return false;
  // One keystroke per character, as the keyboard sends them; each refused one is told apart.
  std::vector<std::string> refused;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = std::min(text.size() - i, std::size_t{lead >= 0xF0 ? 4u : lead >= 0xE0 ? 3u : lead >= 0xC0 ? 2u : 1u});
    const std::string key(text.substr(i, length));
    i += length;
    if (field->replaceCharactersInRange(editRange(*field), key)) {
      selectedField_.reset();
    } else {
      refused.push_back(key);
      platform::Trace::record("keystroke-refused", inQuotes(key) + " (the field holds " + inQuotes(field->text()) + ")");
    }
    settle();
  }
  if (!refused.empty()) {
    std::string keys;
    for (const auto& k : refused) keys += k;
    error = "the field refused " + std::to_string(refused.size()) + " keystroke" + (refused.size() == 1 ? "" : "s") +
            " (" + inQuotes(keys) + "); it holds " + inQuotes(field->text());
  }
  return true;
}

bool Session::paste(std::string_view text, std::string& error) {
  auto field = textField(error);
  if (!field) return false;
  const bool took = field->replaceCharactersInRange(editRange(*field), std::string(text));
  settle();
  if (took) {
    selectedField_.reset();
  } else {
    platform::Trace::record("paste-refused", inQuotes(text) + " (the field holds " + inQuotes(field->text()) + ")");
    error = "the field refused the paste; it holds " + inQuotes(field->text());
  }
  return true;
}

bool Session::deleteBackward(int count, std::string& error) {
  auto field = textField(error);
  if (!field) return false;
  int deleted = 0;
  for (int i = 0; i < count; ++i) {
    bool took;
    if (selectedField_.lock() == field) {
      took = field->replaceCharactersInRange(editRange(*field), "");
      if (took) selectedField_.reset();
    } else {
      took = field->utf16Length() > 0 && field->deleteBackward();
    }
    settle();
    if (!took) break;
    ++deleted;
  }
  if (deleted < count) {
    platform::Trace::record("keystroke-refused", "delete (the field holds " + inQuotes(field->text()) + ")");
    error = field->text().empty() ? "nothing left to delete"
                                  : "the field refused the delete key; it holds " + inQuotes(field->text());
  }
  return true;
}

bool Session::selectAll(std::string& error) {
  auto field = textField(error);
  if (!field) return false;
  selectedField_ = field;
  return true;
}

bool Session::pressReturn(std::string& error) {
  auto field = textField(error);
  if (!field) return false;
  selectedField_.reset();
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
  if (ignoredAsDisabled(*view, target, error)) {
    pressIgnored_ = true;
    pressedName_ = nameOf(*view) + " (disabled)";
    pressStart_ = platform::Clock::current().uptime();
    return true;
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
  if (pressIgnored_) {
    pressIgnored_ = false;
    pressedName_.clear();
    return true;
  }
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
  if (pressIgnored_) return true;
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

void Session::setHapticSupport(std::optional<HapticSupport> support) {
  haptics_ = support;
  applyHapticSupport(support);
}

void Session::setTorchSetup(TorchSetup setup) {
  torch_ = setup;
  applyTorchSetup(setup);
  settle();
}

void Session::setAssetState(const AssetState& state) {
  std::erase_if(assets_, [&](const AssetState& a) { return a.name == state.name; });
  if (state.fault) assets_.push_back(state);
  applyAssetState(state);
}

void Session::setTimeZone(const std::string& zone) {
  applyTimeZone(zone);
  settle();
}

bool Session::ignoredAsDisabled(const platform::View& view, std::string_view target, std::string& note) const {
  if (!isControl(view) || !isDisabled(view)) return false;
  std::string name = nameOf(view);
  if (const auto& id = view.accessibilityIdentifier(); !id.empty() && id != name) name += " (" + id + ")";
  platform::Trace::record("tap-ignored", name + ", disabled");
  note = inQuotes(target) + " is disabled: the touch did nothing";
  return true;
}

std::optional<Session::SavedImage> Session::lastSavedImage() const {
  constexpr std::string_view kSaved = " saved";
  auto events = platform::Trace::eventsOfKind("photos");
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    const std::string& detail = it->detail;
    if (detail.size() <= kSaved.size() || detail.compare(detail.size() - kSaved.size(), kSaved.size(), kSaved) != 0) {
      continue;
    }
    SavedImage saved{platform::Home::photos() / detail.substr(0, detail.size() - kSaved.size()), {}};
    std::ifstream in(saved.file, std::ios::binary);
    const platform::Data png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    saved.texts = platform::PNGText::texts(png);
    return saved;
  }
  return std::nullopt;
}

std::vector<std::string> Session::consoleLines() const {
  platform::MutexLock lock(console_->mutex);
  return console_->lines;
}

}  // namespace terminal
