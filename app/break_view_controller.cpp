#include "app/break_view_controller.h"

#include "app/alert_center.h"
#include "app/app_notifications.h"
#include "app/card_view_controller.h"
#include "app/haptic_center.h"
#include "app/main_storyboard.h"
#include "app/main_timer.h"
#include "app/setting_keys.h"
#include "app/sound_center.h"
#include "platform/foundation/calendar.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"

BreakViewController::BreakViewController() = default;

BreakViewController::~BreakViewController() {
  endObservers();
  invalidateTimer(breakTimer_);
  invalidateTimer(alertTimer_);
}

platform::StatusBarStyle BreakViewController::preferredStatusBarStyle() const { return darkContentStatusBarStyle(); }

void BreakViewController::loadView() {
  platform::Rect bounds = platform::Screen::main().bounds();
  double width = bounds.width();
  double height = bounds.height();
  auto root = std::make_shared<platform::View>(bounds);
  root->setBackgroundColor(platform::Color::rgba(0.85, 0.93, 0.96));

  fishingImageView_ = std::make_shared<platform::ImageView>(platform::Rect(0, height * 0.3, width, height * 0.5));
  fishingImageView_->setContentMode(platform::ContentMode::ScaleAspectFit);
  fishingImageView_->setAccessibilityIdentifier("fishingImageView");
  root->addSubview(fishingImageView_);

  breakTimeLabel_ = std::make_shared<platform::Label>(platform::Rect(0, height * 0.12, width, 72));
  breakTimeLabel_->setFont(platform::Font::systemFont(56, platform::FontWeight::Light));
  breakTimeLabel_->setTextColor(platform::Color::darkGrayColor());
  breakTimeLabel_->setTextAlignment(platform::TextAlignment::Center);
  breakTimeLabel_->setAccessibilityIdentifier("breakTimeLabel");
  root->addSubview(breakTimeLabel_);

  closeButton_ = std::make_shared<platform::Button>(platform::ButtonType::Custom,
                                                    platform::Rect(width / 2 - 28, height - 100, 56, 56));
  closeButton_->setImage(platform::Image::named("break_close_btn"), platform::kControlStateNormal);
  closeButton_->setAccessibilityIdentifier("closeBreakButton");
  std::weak_ptr<BreakViewController> weak = weakSelf<BreakViewController>();
  closeButton_->addTarget(
      this,
      [weak](platform::Control&) {
        if (auto self = weak.lock()) self->closeBreakView();
      },
      platform::kControlEventTouchUpInside);
  root->addSubview(closeButton_);
  setView(root);
}

void BreakViewController::viewDidLoad() {
  platform::ViewController::viewDidLoad();
  updateBreakTimeLabel();
  focusFinishAlertNumber_ = 3;
  if (fishingImageView_) {
    fishingImageView_->setImage(platform::Image::named(platform::format("f_%ld", static_cast<long>(doneSession_))));
  }
  AlertCenter::shared()->scheduleBreakEndNotification();
  std::weak_ptr<BreakViewController> weak = weakSelf<BreakViewController>();
  breakTimer_ = scheduleMainTimer(1.0, true, weak, &BreakViewController::updateTimer);

  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<const void> owner = weak;
  center.addObserver(owner, std::string(platform::kApplicationDidEnterBackgroundNotification), nullptr,
                     [weak](const platform::Notification&) {
                       if (auto self = weak.lock()) self->pauseWhenBackgroundWithNoti();
                     });
  center.addObserver(owner, std::string(platform::kApplicationWillEnterForegroundNotification), nullptr,
                     [weak](const platform::Notification&) {
                       if (auto self = weak.lock()) self->willEnterForegroundWithNoti();
                     });

  if (auto card = std::dynamic_pointer_cast<CardViewController>(presentingViewController())) {
    card->dismissViewControllerAnimated(false, [] {});
  }
  platform::Device::current().setProximityMonitoringEnabled(false);
}

void BreakViewController::endObservers() {
  platform::NotificationCenter::defaultCenter().removeObserver(static_cast<const platform::ViewController*>(this));
}

void BreakViewController::updateBreakTimeLabel() {
  if (!breakTimeLabel_) return;
  breakTimeLabel_->setText(
      platform::format("%02i:%02i", static_cast<int>(breakTime_ / 60), static_cast<int>(breakTime_ % 60)));
}

void BreakViewController::updateTimer() {
  if (!breakTimer_) return;
  breakTime_ -= 1;
  updateBreakTimeLabel();
  if (breakTime_ > 0) return;
  invalidateTimer(breakTimer_);
  invalidateTimer(alertTimer_);
  alertTimer_ = scheduleMainTimer(1.0, true, weakSelf<BreakViewController>(), &BreakViewController::repeatAlertTimer);
}

void BreakViewController::repeatAlertTimer() {
  if (focusFinishAlertNumber_ < 1) {
    invalidateTimer(alertTimer_);
    returnToMain();
    return;
  }
  SoundCenter::shared()->playAlert();
  focusFinishAlertNumber_ -= 1;
}

void BreakViewController::pauseWhenBackgroundWithNoti() { saveBackgroundTime(); }

void BreakViewController::willEnterForegroundWithNoti() { resumeFromBackground(); }

void BreakViewController::saveBackgroundTime() {
  if (breakTimer_) breakTimer_->invalidate();
  platform::UserDefaults::standard()->setObject(platform::Value(platform::Date::now()), kSavedTimeBackgroundKey);
}

void BreakViewController::resumeFromBackground() {
  if (returned_) return;
  platform::Value saved = platform::UserDefaults::standard()->objectForKey(kSavedTimeBackgroundKey);
  const platform::Date* left = saved.ifDate();
  if (!left) return;
  auto elapsed = platform::Calendar::minutesAndSecondsBetween(*left, platform::Date::now());
  // A clock set back while away counts as no time away.
  if (elapsed.minutes < 0 || elapsed.seconds < 0) elapsed = {};
  breakTime_ -= elapsed.minutes * 60 + elapsed.seconds;
  if (breakTime_ >= 1) {
    invalidateTimer(breakTimer_);
    breakTimer_ = scheduleMainTimer(1.0, true, weakSelf<BreakViewController>(), &BreakViewController::updateTimer);
    return;
  }
  returnToMain();
}

void BreakViewController::closeBreakView() {
  HapticCenter().playLightHaptic();
  returnToMain();
}

void BreakViewController::returnToMain() {
  if (returned_) return;
  returned_ = true;
  endObservers();
  performSegueWithIdentifier(kUnwindMainSegue);
  invalidateTimer(breakTimer_);
  invalidateTimer(alertTimer_);
  postAppNotification(kReturnFromBreakTimeNotification, true);
  AlertCenter::shared()->localNotification()->removeAllPendingNotificationRequests();
}

bool BreakViewController::isBreakTimerRunning() const { return breakTimer_ && breakTimer_->isValid(); }

bool BreakViewController::isAlertTimerRunning() const { return alertTimer_ && alertTimer_->isValid(); }
