// The focus screen's look: layout by screen size, the mascot's angry and amused faces, the
// first-launch intro, the play/pause button of devices without the face-down trigger, and the
// attention blink over the speech balloon and the two buttons.
#include <array>

#include "app/app_fonts.h"
#include "app/authorization_center.h"
#include "app/localized.h"
#include "app/main_timer.h"
#include "app/setting_keys.h"
#include "app/view_controller.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/user_defaults.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/ui/button.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/screen.h"

namespace {

std::shared_ptr<platform::Image> localizedImage(std::string_view key) {
  return platform::Image::named(localizedString(key));
}

// One step of the attention blink: alphas of the balloon, the settings button and the close
// button (negative: left as it is), and the delay before the next step.
struct AttentionStep {
  double balloon;
  double setting;
  double close;
};

constexpr std::array<AttentionStep, 12> kAttentionSteps{{
    {0, 0.5, 0.5}, {1, 1, 1}, {0, 0.5, 0.5}, {1, 1, 1},
    {-1, 0.5, -1}, {-1, 1, -1}, {-1, 0.5, -1}, {-1, 1, -1},
    {-1, -1, 0.5}, {-1, -1, 1}, {-1, -1, 0.5}, {-1, -1, 1},
}};
// Steps from here on need their button and end the chain without it.
constexpr int kFirstButtonOnlyStep = 4;

}  // namespace

void ViewController::layoutForScreen() {
  platform::Rect screen = platform::Screen::main().bounds();
  double height = screen.height();
  auto bottomAt = [](const std::shared_ptr<platform::View>& view, double bottom) {
    if (!view) return;
    platform::Rect frame = view->frame();
    view->setFrame(platform::Rect(frame.minX(), bottom - frame.height(), frame.width(), frame.height()));
  };
  auto centreYAt = [](const std::shared_ptr<platform::View>& view, double y) {
    if (!view) return;
    platform::Rect frame = view->frame();
    view->setFrame(platform::Rect(frame.minX(), y - frame.height() / 2, frame.width(), frame.height()));
  };
  if (height >= 844) {
    if (birdTalk_) birdTalk_->setImage(localizedImage("main_bird_talk_1_x"));
    bottomAt(settingButton_, height - 24);
  } else if (height == 812) {
    if (backgroundImageView_) backgroundImageView_->setImage(platform::Image::named("background_X"));
    if (birdTalk_) birdTalk_->setImage(localizedImage("main_bird_talk_1_x"));
    bottomAt(settingButton_, height - 24);
    centreYAt(closeButton_, height - 190);
    centreYAt(timerLabel_, height - 375);
  } else {
    if (birdTalk_) birdTalk_->setImage(localizedImage("main_bird_talk_1"));
    if (height < 650 && timerLabel_) timerLabel_->setFont(platform::Font::named(kHandwritingFontName, 50));
  }
}

std::shared_ptr<platform::ImageView> ViewController::makeAngryFace() const {
  platform::Rect screen = platform::Screen::main().bounds();
  std::string_view name = "angry";
  platform::Point origin{0, 0};
  if (screen.height() == 896) {
    name = "angry_X";
    origin = {20, 20};
  } else if (screen.height() == 812) {
    name = "angry_X";
  } else if (screen.height() == 480) {
    origin = {-20, -20};
  } else if (screen.width() == 320) {
    origin = {-20, -10};
  }
  auto face = std::make_shared<platform::ImageView>(platform::Image::named(name));
  platform::Rect frame = face->frame();
  face->setFrame(platform::Rect(origin, frame.size));
  face->setAccessibilityIdentifier("angryView");
  return face;
}

void ViewController::refreshMascot() {
  bool angry = isPiloAngry();
  onMainQueue(weakSelf<ViewController>(), [angry](ViewController& self) {
    if (angry && !self.angryView_) {
      auto face = self.makeAngryFace();
      onMainQueueAfter(0.7, self.weakSelf<ViewController>(), [face](ViewController& self) {
        // A mascot calmed or a period started meanwhile shows no anger.
        if (self.isFocusStarted() || self.isResetDone() || !self.isPiloAngry()) return;
        if (self.angryView_) self.angryView_->removeFromSuperview();
        invalidateTimer(self.angryTimer_);
        self.angryView_ = face;
        self.view()->addSubview(face);
        // Each new face starts its blink on black, whatever the last face left behind.
        self.timerBlink_ = false;
        self.angryTimer_ =
            scheduleMainTimer(0.5, true, self.weakSelf<ViewController>(), &ViewController::blinkTimerLabel);
      });
      return;
    }
    if (self.angryView_) self.angryView_->removeFromSuperview();
    self.angryView_.reset();
    invalidateTimer(self.angryTimer_);
    if (self.timerLabel_) self.timerLabel_->setTextColor(platform::Color::whiteColor());
  });
}

void ViewController::blinkTimerLabel() {
  if (timerLabel_) {
    timerLabel_->setTextColor(timerBlink_ ? platform::Color::whiteColor() : platform::Color::blackColor());
  }
  timerBlink_ = !timerBlink_;
}

void ViewController::showFunFace() {
  platform::Rect screen = platform::Screen::main().bounds();
  if (screen.height() >= 844) return;
  std::shared_ptr<platform::ImageView> overlay;
  if (screen.height() == 812) {
    overlay = std::make_shared<platform::ImageView>(platform::Image::named("fun_X"));
  } else {
    overlay = std::make_shared<platform::ImageView>(platform::Image::named("fun"));
    platform::Rect frame = overlay->frame();
    if (screen.height() == 480) {
      overlay->setFrame(platform::Rect(frame.origin, platform::Size{0, 0}));
    } else if (screen.width() == 320) {
      overlay->setFrame(platform::Rect(platform::Point{-25, -20}, frame.size));
    } else {
      overlay->setFrame(platform::Rect(platform::Point{2, -3}, frame.size));
    }
  }
  overlay->setAccessibilityIdentifier("funView");
  view()->addSubview(overlay);
  setPiloAngry(false);
  refreshMascot();
  if (closeButton_) closeButton_->setUserInteractionEnabled(false);

  std::weak_ptr<platform::ImageView> weakOverlay = overlay;
  platform::DispatchQueue::main()->after(1.0, [weakOverlay] {
    if (auto face = weakOverlay.lock()) face->removeFromSuperview();
  });
  onMainQueueAfter(1.5, weakSelf<ViewController>(), [](ViewController& self) {
    if (self.closeButton_) self.closeButton_->setUserInteractionEnabled(true);
    std::int64_t minutes = storedSetting(kFocusTimeKey);
    if (!self.isResetDone() && minutes != self.focusTime() / 60) {
      self.setPiloAngry(true);
      self.refreshMascot();
    }
  });
}

void ViewController::showIntro() {
  if (introImageView_) return;
  {
    platform::RecursiveMutexLock lock(mutex_);
    isFocusStarted_ = true;
  }
  auto root = view();
  platform::Size size = root->bounds().size;
  auto overlay = std::make_shared<platform::ImageView>(platform::Rect(platform::Point{0, 0}, size));
  overlay->setImage(localizedImage("intro_image"));
  overlay->setContentMode(platform::ContentMode::ScaleAspectFit);
  overlay->setBackgroundColor(platform::Color::whiteColor());
  overlay->setAccessibilityIdentifier("introImageView");

  auto button = platform::Button::buttonWithType(platform::ButtonType::Custom);
  auto normal = platform::Image::named("intro_start_btn");
  button->setImage(normal, platform::kControlStateNormal);
  button->setImage(platform::Image::named("intro_start_btn_over"), platform::kControlStateHighlighted);
  button->setAccessibilityIdentifier("introStartButton");
  std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
  button->addTarget(
      this,
      [weak](platform::Control&) {
        if (auto self = weak.lock()) self->dismissImageView();
      },
      platform::kControlEventTouchUpInside);
  overlay->addSubview(button);

  double multiplier = size.height >= 812 ? 0.9 : 0.98;
  platform::Size buttonSize = normal ? normal->size() : platform::Size{};
  button->setFrame(platform::Rect(size.width * 0.95 - buttonSize.width, size.height * multiplier - buttonSize.height,
                                  buttonSize.width, buttonSize.height));
  button->setTranslatesAutoresizingMaskIntoConstraints(false);
  platform::LayoutConstraint::activate({
      platform::LayoutConstraint::make(button, platform::LayoutAttribute::Bottom, platform::LayoutRelation::Equal,
                                       overlay, platform::LayoutAttribute::Bottom, multiplier, 0),
      platform::LayoutConstraint::make(button, platform::LayoutAttribute::Right, platform::LayoutRelation::Equal,
                                       overlay, platform::LayoutAttribute::Right, 0.95, 0),
  });

  std::weak_ptr<platform::Button> weakButton = button;
  platform::View::animate(
      1.1, 0.3,
      platform::kAnimationOptionRepeat | platform::kAnimationOptionAutoreverse |
          platform::kAnimationOptionAllowUserInteraction,
      [button] { button->setAlpha(0.5); },
      [weakButton](bool finished) {
        if (!finished) return;
        if (auto pulsing = weakButton.lock()) {
          platform::View::animate(1.1, [pulsing] { pulsing->setAlpha(1.0); });
        }
      });

  auto swipe = std::make_shared<platform::SwipeGestureRecognizer>(this, [weak](platform::GestureRecognizer&) {
    if (auto self = weak.lock()) self->dismissImageView();
  });
  swipe->setDirection(platform::kSwipeDirectionDown);
  swipe->setCancelsTouchesInView(true);
  overlay->addGestureRecognizer(swipe);
  overlay->setUserInteractionEnabled(true);

  introImageView_ = overlay;
  introStartButton_ = button;
  root->addSubview(overlay);
}

void ViewController::dismissImageView() {
  // An overlay already sliding away (button and swipe both used) is dismissed once: a second run
  // would start the trigger again (a second play button) and ask for permission twice.
  if (!introImageView_ || !introImageView_->isUserInteractionEnabled()) return;
  auto overlay = introImageView_;
  overlay->setUserInteractionEnabled(false);
  startMotionDetection();
  double height = view()->bounds().height();
  platform::View::animate(
      0.38,
      [overlay, height] {
        platform::Rect frame = overlay->frame();
        overlay->setFrame(platform::Rect(platform::Point{0, height}, frame.size));
      },
      [weak = weakSelf<ViewController>(), overlay](bool) {
        overlay->removeFromSuperview();
        auto self = weak.lock();
        if (!self) return;
        if (self->introImageView_ == overlay) {
          self->introImageView_.reset();
          self->introStartButton_.reset();
        }
        platform::UserDefaults::standard()->setBool(false, kIsFirstLaunchKey);
        platform::UserNotificationCenter::current()->getNotificationSettings(
            [](const platform::NotificationSettings& settings) {
              AuthorizationCenter().checkNotificationSettings(settings);
            });
        platform::RecursiveMutexLock lock(self->mutex_);
        self->isFocusStarted_ = false;
      });
}

void ViewController::setUpPadButton() {
  if (birdTalk_) birdTalk_->setImage(platform::Image::named("bird_a_ipad"));
  auto root = view();
  auto button = platform::Button::buttonWithType(platform::ButtonType::Custom);
  root->addSubview(button);
  auto play = platform::Image::named("play_btn");
  platform::Size size = play ? play->size() : platform::Size{};
  platform::Point centre = root->center();
  button->setFrame(platform::Rect(centre.x - size.width / 2 - 10, centre.y - size.height, size.width, size.height));
  button->setAccessibilityIdentifier("startButton");
  std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
  button->addTarget(
      this,
      [weak](platform::Control&) {
        if (auto self = weak.lock()) self->onOffButtonForPad();
      },
      platform::kControlEventTouchUpInside);
  startButton_ = button;
  showReadyControls();
}

void ViewController::blinkBottomBirdImage() {
  onMainQueue(weakSelf<ViewController>(), [](ViewController& self) { self.blinkAttention(); });
}

void ViewController::blinkAttention() { scheduleAttentionStep(0); }

void ViewController::scheduleAttentionStep(int step) {
  if (step >= static_cast<int>(kAttentionSteps.size())) return;
  // After a dim step the next comes 0.3 s later, after a bright one 0.5 s (the first after 0.5 s).
  double delay = 0.5;
  if (step > 0) {
    const AttentionStep& previous = kAttentionSteps[static_cast<std::size_t>(step - 1)];
    double shown = previous.setting >= 0 ? previous.setting : previous.close;
    delay = shown < 1 ? 0.3 : 0.5;
  }
  onMainQueueAfter(delay, weakSelf<ViewController>(), [step](ViewController& self) {
    const AttentionStep& s = kAttentionSteps[static_cast<std::size_t>(step)];
    if (step >= kFirstButtonOnlyStep) {
      const auto& button = s.setting >= 0 ? self.settingButton_ : self.closeButton_;
      if (!button) return;
    }
    if (s.balloon >= 0 && self.birdTalk_) self.birdTalk_->setAlpha(s.balloon);
    if (s.setting >= 0 && self.settingButton_) self.settingButton_->setAlpha(s.setting);
    if (s.close >= 0 && self.closeButton_) self.closeButton_->setAlpha(s.close);
    self.scheduleAttentionStep(step + 1);
  });
}
