#include "app/view_controller.h"

#include "app/app_notifications.h"
#include "app/card_view_controller.h"
#include "app/dot_view.h"
#include "app/haptic_center.h"
#include "app/localized.h"
#include "app/main_storyboard.h"
#include "app/main_timer.h"
#include "app/setting_keys.h"
#include "app/settings_view_controller.h"
#include "app/sound_center.h"
#include "app/user_data.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/user_defaults.h"
#include "platform/media/audio_player.h"
#include "platform/motion/motion_manager.h"
#include "platform/runloop/run_loop.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"

namespace {

std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

// Counters come from the store, which a user can edit: they stop at the largest value instead of
// overflowing.
std::int64_t addingToStored(std::int64_t stored, std::int64_t amount) {
  std::int64_t sum;
  if (__builtin_add_overflow(stored, amount, &sum)) return amount < 0 ? INT64_MIN : INT64_MAX;
  return sum;
}

std::shared_ptr<platform::Button> makeImageButton(std::string_view image, platform::Rect frame,
                                                  std::string identifier) {
  auto button = std::make_shared<platform::Button>(platform::ButtonType::Custom, frame);
  button->setImage(platform::Image::named(image), platform::kControlStateNormal);
  button->setAccessibilityIdentifier(std::move(identifier));
  return button;
}

}  // namespace

ViewController::ViewController()
    : motionManager_(std::make_shared<platform::MotionManager>()), soundCenter_(SoundCenter::shared()) {}

ViewController::~ViewController() {
  motionManager_->stopAccelerometerUpdates();
  platform::NotificationCenter::defaultCenter().removeObserver(static_cast<const platform::ViewController*>(this));
  platform::RecursiveMutexLock lock(mutex_);
  invalidateTimer(focusTimer_);
  invalidateTimer(angryTimer_);
  invalidateTimer(alertTimer_);
}

void ViewController::loadView() {
  platform::Rect bounds = platform::Screen::main().bounds();
  double width = bounds.width();
  double height = bounds.height();
  auto root = std::make_shared<platform::View>(bounds);
  root->setBackgroundColor(platform::Color::rgba(0.13, 0.17, 0.26));

  backgroundImageView_ = std::make_shared<platform::ImageView>(bounds);
  backgroundImageView_->setImage(platform::Image::named("background"));
  backgroundImageView_->setContentMode(platform::ContentMode::ScaleAspectFill);
  backgroundImageView_->setAccessibilityIdentifier("backgroundImageView");
  root->addSubview(backgroundImageView_);

  timerLabel_ = std::make_shared<platform::Label>(platform::Rect(0, height * 0.17, width, 84));
  timerLabel_->setFont(platform::Font::systemFont(64, platform::FontWeight::Light));
  timerLabel_->setTextColor(platform::Color::whiteColor());
  timerLabel_->setTextAlignment(platform::TextAlignment::Center);
  timerLabel_->setAccessibilityIdentifier("timerLabel");
  root->addSubview(timerLabel_);

  dotImageView_ = DotView::makeForLayout(platform::Rect(width / 2 - 70, height * 0.31, 140, 44));
  dotImageView_->setAccessibilityIdentifier("dotImageView");
  root->addSubview(dotImageView_);
  // The row sizes itself to its dots; it stays centred under the timer.
  platform::LayoutConstraint::activate({dotImageView_->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor())});

  birdTalk_ = std::make_shared<platform::ImageView>(platform::Rect(width / 2 - 90, height * 0.44, 180, 64));
  birdTalk_->setContentMode(platform::ContentMode::ScaleAspectFit);
  birdTalk_->setAccessibilityIdentifier("birdTalk");
  root->addSubview(birdTalk_);

  closeButton_ = makeImageButton("close_btn", platform::Rect(24, height - 92, 56, 56), "closeButton");
  std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
  closeButton_->addTarget(
      this,
      [weak](platform::Control&) {
        if (auto self = weak.lock()) self->closeButtonAction();
      },
      platform::kControlEventTouchUpInside);
  root->addSubview(closeButton_);

  settingButton_ = makeImageButton("setting_btn", platform::Rect(width - 80, height - 92, 56, 56), "settingButton");
  settingButton_->addTarget(
      this,
      [weak](platform::Control& sender) {
        if (auto self = weak.lock()) self->performSegueWithIdentifier(kSettingSegue, &sender);
      },
      platform::kControlEventTouchUpInside);
  root->addSubview(settingButton_);

  setView(root);
}

void ViewController::viewDidLoad() {
  platform::ViewController::viewDidLoad();
  layoutForScreen();
  if (defaults()->boolForKey(kIsFirstLaunchKey)) {
    showIntro();
  } else {
    startMotionDetection();
  }
  UserData::resetTodayFocusTimeIfNewDay(platform::Date::now());
  setPiloAngry(false);
  refreshMascot();
  resetFocusTime();
  updateTimerLabel();

  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
  std::weak_ptr<const void> owner = weak;
  auto observe = [&](std::string_view name, void (ViewController::*method)()) {
    center.addObserver(owner, std::string(name), nullptr, [weak, method](const platform::Notification&) {
      if (auto self = weak.lock()) ((*self).*method)();
    });
  };
  if (isFaceDownDevice()) {
    observe(platform::kDeviceProximityStateDidChangeNotification, &ViewController::updateProximityState);
    center.addObserver(owner, std::string(kTimerActivityChangeNotification), nullptr,
                       [weak](const platform::Notification& notification) {
                         if (auto self = weak.lock()) self->controlMotionDetectorWithNoti(notification);
                       });
  }
  observe(kReturnFromBreakTimeNotification, &ViewController::returnFromBreakTime);
  observe(kFocusTimeChangeNotification, &ViewController::setTimerForReady);
  observe(kBlinkBirdImageNotification, &ViewController::blinkBottomBirdImage);

  addUnwindAction(std::string(kUnwindAction), [](platform::StoryboardSegue&) {});
}

bool ViewController::isFaceDownDevice() { return platform::Device::current().model() == kFaceDownModel; }

void ViewController::setPiloAngry(bool angry) {
  platform::RecursiveMutexLock lock(mutex_);
  isPiloAngry_ = angry;
}

void ViewController::resetFocusTime() {
  platform::RecursiveMutexLock lock(mutex_);
  focusTime_ = storedSetting(kFocusTimeKey) * 60;
}

void ViewController::lightHaptic() { HapticCenter().playLightHaptic(); }

void ViewController::updateTimerLabel() {
  std::int64_t seconds = focusTime();
  if (timerLabel_) {
    timerLabel_->setText(platform::format("%02i:%02i", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60)));
  }
}

void ViewController::startFocus() {
  setPiloAngry(false);
  refreshMascot();
  {
    platform::RecursiveMutexLock lock(mutex_);
    isFocusStarted_ = true;
    isResetDone_ = false;
  }
  onMainQueue(weakSelf<ViewController>(), [](ViewController& self) {
    platform::RecursiveMutexLock lock(self.mutex_);
    invalidateTimer(self.focusTimer_);
    self.focusTimer_ = scheduleMainTimer(1.0, true, self.weakSelf<ViewController>(), &ViewController::updateTimer);
  });
  soundCenter_->startWhiteNoise();
}

void ViewController::updateTimer() {
  {
    platform::RecursiveMutexLock lock(mutex_);
    // A stop reaches the timer only through the main queue; a tick already due meanwhile must
    // neither take a second from the stopped period nor finish it.
    if (!focusTimer_ || !isFocusStarted_) return;
    focusTime_ -= 1;
    updateTimerLabel();
    if (focusTime_ > 0) return;
  }
  stopFocus(false);
  finishFocus();
}

void ViewController::stopFocus(bool quiet) {
  platform::RecursiveMutexLock lock(mutex_);
  if (!isFocusStarted_) return;
  isFocusStarted_ = false;
  onMainQueue(weakSelf<ViewController>(), [](ViewController& self) {
    {
      platform::RecursiveMutexLock lock(self.mutex_);
      invalidateTimer(self.focusTimer_);
    }
    platform::Device::current().setProximityMonitoringEnabled(false);
  });
  if (defaults()->integerForKey(kWhiteNoiseModeKey) != 0) {
    if (auto player = soundCenter_->whiteNoisePlayer()) player->stop();
    SoundCenter::vibrate();
  }
  if (focusTime_ >= 1 && !quiet) {
    SoundCenter::vibrate();
    isPiloAngry_ = true;
    refreshMascot();
  }
}

void ViewController::finishFocus() {
  auto store = defaults();
  store->setInteger(addingToStored(store->integerForKey(kTodayFocusTotalTimeKey), storedSetting(kFocusTimeKey)),
                    kTodayFocusTotalTimeKey);
  postAppNotification(kTimerActivityChangeNotification, false);

  focusFinishAlertNumber_ = 3;
  invalidateTimer(alertTimer_);
  alertTimer_ = scheduleMainTimer(1.0, true, weakSelf<ViewController>(), &ViewController::repeatAlertTimer);

  std::int64_t finished = store->integerForKey(kSessionDoneNumberKey);
  store->setInteger(addingToStored(finished, 1), kSessionDoneNumberKey);

  // A sheet left open over the screen (the reset choice) would keep the card from showing and
  // leave the finished period without its break: it goes first.
  if (presentedViewController()) {
    std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
    dismissViewControllerAnimated(false, [weak, finished] {
      if (auto self = weak.lock()) self->showCard(finished);
    });
    return;
  }
  showCard(finished);
}

void ViewController::showCard(std::int64_t finishedSession) {
  performSegueWithIdentifier(kShowCardSegue);
  if (storedSetting(kSessionNumberKey) == finishedSession) resetSessionCount();
}

void ViewController::repeatAlertTimer() {
  if (focusFinishAlertNumber_ < 1) {
    invalidateTimer(alertTimer_);
    return;
  }
  soundCenter_->playAlert();
  focusFinishAlertNumber_ -= 1;
}

void ViewController::resetSessionCount() {
  defaults()->setInteger(1, kSessionDoneNumberKey);
  postAppNotification(kSessionNumberChangeNotification, false);
}

void ViewController::returnFromBreakTime() {
  postAppNotification(kTimerActivityChangeNotification, true);
  setPiloAngry(false);
  refreshMascot();
  resetFocusTime();
  updateTimerLabel();
  showReadyControls();
  postAppNotification(kSessionNumberChangeNotification, true);
  if (defaults()->integerForKey(kSessionDoneNumberKey) == 1) blinkAttention();
}

void ViewController::setTimerForReady() {
  setPiloAngry(false);
  refreshMascot();
  resetFocusTime();
  updateTimerLabel();
}

void ViewController::showReadyControls() {
  stopFocus(true);
  if (startButton_) {
    startButton_->setImage(platform::Image::named("play_btn"), platform::kControlStateNormal);
    startButton_->setImage(platform::Image::named("play_btn_over"), platform::kControlStateHighlighted);
  }
  if (birdTalk_) birdTalk_->setHidden(false);
}

void ViewController::onOffButtonForPad() {
  bool start;
  {
    platform::RecursiveMutexLock lock(mutex_);
    start = !isFocusStarted_ && focusTime_ >= 1;
  }
  if (start) {
    startFocus();
    if (startButton_) {
      startButton_->setImage(platform::Image::named("pause_btn"), platform::kControlStateNormal);
      startButton_->setImage(platform::Image::named("pause_btn_over"), platform::kControlStateHighlighted);
    }
    if (birdTalk_) birdTalk_->setHidden(true);
    return;
  }
  stopFocus(false);
  showReadyControls();
}

void ViewController::closeButtonAction() {
  showResetSheet();
  lightHaptic();
  showFunFace();
}

void ViewController::showResetSheet() {
  auto sheet = platform::AlertController::make(std::nullopt, std::nullopt, platform::AlertControllerStyle::ActionSheet);
  std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
  sheet->addAction(platform::AlertAction::make(localizedString("alert_reset_session_current"),
                                               platform::AlertActionStyle::Default, [weak](platform::AlertAction&) {
                                                 if (auto self = weak.lock()) self->resetCurrentSession();
                                               }));
  sheet->addAction(platform::AlertAction::make(localizedString("alert_reset_session_all"),
                                               platform::AlertActionStyle::Destructive, [weak](platform::AlertAction&) {
                                                 if (auto self = weak.lock()) self->resetAllSessions();
                                               }));
  sheet->addAction(platform::AlertAction::make(localizedString("cancel"), platform::AlertActionStyle::Cancel));
  presentViewController(sheet, true);
}

void ViewController::resetCurrentSession() {
  {
    platform::RecursiveMutexLock lock(mutex_);
    isResetDone_ = true;
    isPiloAngry_ = false;
  }
  refreshMascot();
  resetFocusTime();
  updateTimerLabel();
  showReadyControls();
}

void ViewController::resetAllSessions() {
  resetCurrentSession();
  resetSessionCount();
}

void ViewController::prepareForSegue(platform::StoryboardSegue& segue, const std::any& /*sender*/) {
  if (segue.identifier() == kSettingSegue) {
    if (auto settings = std::dynamic_pointer_cast<SettingsViewController>(segue.destinationViewController())) {
      settings->presentationController()->setDelegate(weakSelf<ViewController>());
      const bool running = isFocusTimerRunning();
      // The lengths stay as they are while a period runs or the mascot is angry about one.
      settings->setIsEnabled(!isPiloAngry() && !running);
      if (running) settings->setIsEnableWNoise(false);
      lightHaptic();
    }
  }
  if (segue.identifier() == kShowCardSegue) {
    if (auto card = std::dynamic_pointer_cast<CardViewController>(segue.destinationViewController())) {
      card->setSessionDoneNumer(addingToStored(defaults()->integerForKey(kSessionDoneNumberKey), -1));
      card->setSessionTime(storedSetting(kFocusTimeKey));
    }
  }
}

std::int64_t ViewController::focusTime() const {
  platform::RecursiveMutexLock lock(mutex_);
  return focusTime_;
}

bool ViewController::isFocusStarted() const {
  platform::RecursiveMutexLock lock(mutex_);
  return isFocusStarted_;
}

bool ViewController::isPiloAngry() const {
  platform::RecursiveMutexLock lock(mutex_);
  return isPiloAngry_;
}

bool ViewController::isResetDone() const {
  platform::RecursiveMutexLock lock(mutex_);
  return isResetDone_;
}

bool ViewController::isFocusTimerRunning() const {
  platform::RecursiveMutexLock lock(mutex_);
  return focusTimer_ && focusTimer_->isValid();
}

bool ViewController::isAlertTimerRunning() const { return alertTimer_ && alertTimer_->isValid(); }

bool ViewController::isAngryTimerRunning() const { return angryTimer_ && angryTimer_->isValid(); }
