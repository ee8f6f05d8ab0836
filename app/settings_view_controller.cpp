#include "app/settings_view_controller.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "app/app_notifications.h"
#include "app/haptic_center.h"
#include "app/localized.h"
#include "app/main_storyboard.h"
#include "app/setting_keys.h"
#include "app/sound_center.h"
#include "platform/foundation/console.h"
#include "platform/foundation/user_defaults.h"
#include "platform/runloop/run_loop.h"
#include "platform/ui/application.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/feedback_generator.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"

namespace {

std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

// One stepper: an even button tag steps up, the odd one below it steps down.
struct Stepper {
  std::string_view key;
  std::int64_t step;
  std::int64_t lowest;
  std::int64_t highest;
  bool minutes;  // the label shows "MIN" after the value
  std::string_view notification;
  std::optional<bool> notificationObject;
};

const Stepper kSteppers[] = {
    {kFocusTimeKey, 5, 5, 100, true, kFocusTimeChangeNotification, std::nullopt},
    {kBreakTimeKey, 1, 1, 20, true, {}, std::nullopt},
    {kSessionNumberKey, 1, 1, 10, false, kSessionNumberChangeNotification, false},
    {kLongBreakTimeKey, 5, 5, 100, true, {}, std::nullopt},
};

const Stepper* stepperForTag(std::int64_t tag) {
  if (tag < 0 || tag > 7) return nullptr;
  return &kSteppers[tag / 2];
}

std::string labelText(const Stepper& stepper) {
  std::string text = std::to_string(storedSetting(stepper.key));
  return stepper.minutes ? text + "MIN" : text;
}

// The alert switches by the tag of their image view.
struct AlertSwitch {
  std::string_view key;
  std::string_view imagePrefix;
};

const AlertSwitch kAlertSwitches[] = {
    {kEnableVibrationKey, "alert_vib_"},
    {kEnableSoundKey, "alert_sound_"},
    {kEnableFlashKey, "alert_flash_"},
};

// A scheme, a colon and no blanks: what opening a URL needs at least.
bool parsesAsURL(std::string_view address) {
  std::size_t colon = address.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == address.size()) return false;
  if (!std::isalpha(static_cast<unsigned char>(address[0]))) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    char c = address[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  for (char c : address) {
    if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void lightHaptic() { HapticCenter().playLightHaptic(); }

}  // namespace

SettingsViewController::SettingsViewController() : soundCenter_(SoundCenter::shared()) {
  setModalPresentationStyle(platform::ModalPresentationStyle::PageSheet);
}

SettingsViewController::~SettingsViewController() {
  if (longPressedTimer_) longPressedTimer_->invalidate();
}

void SettingsViewController::loadView() {
  platform::Rect bounds = platform::Screen::main().bounds();
  const double width = bounds.width();
  const double height = bounds.height();
  auto root = std::make_shared<platform::View>(bounds);
  root->setBackgroundColor(platform::Color::rgba(0.97, 0.96, 0.93));
  std::weak_ptr<SettingsViewController> weak = weakSelf<SettingsViewController>();

  auto addLabel = [&](std::string text, platform::Rect frame, std::string identifier) {
    auto label = std::make_shared<platform::Label>(frame);
    label->setText(std::move(text));
    label->setTextColor(platform::Color::darkGrayColor());
    label->setAccessibilityIdentifier(std::move(identifier));
    root->addSubview(label);
    return label;
  };
  auto addButton = [&](std::string title, platform::Rect frame, std::string identifier,
                       void (SettingsViewController::*action)(platform::Control&)) {
    auto button = std::make_shared<platform::Button>(platform::ButtonType::System, frame);
    button->setTitle(std::move(title), platform::kControlStateNormal);
    button->setTitleColor(platform::Color::systemBlueColor(), platform::kControlStateNormal);
    button->setAccessibilityIdentifier(std::move(identifier));
    button->addTarget(
        this,
        [weak, action](platform::Control& sender) {
          if (auto self = weak.lock()) ((*self).*action)(sender);
        },
        platform::kControlEventTouchUpInside);
    root->addSubview(button);
    return button;
  };
  auto addImage = [&](platform::Rect frame, std::string identifier, std::int64_t tag,
                      void (SettingsViewController::*action)(platform::GestureRecognizer&)) {
    auto image = std::make_shared<platform::ImageView>(frame);
    image->setContentMode(platform::ContentMode::ScaleAspectFit);
    image->setAccessibilityIdentifier(std::move(identifier));
    image->setTag(tag);
    image->setUserInteractionEnabled(true);
    image->addGestureRecognizer(
        std::make_shared<platform::TapGestureRecognizer>(this, [weak, action](platform::GestureRecognizer& sender) {
          if (auto self = weak.lock()) ((*self).*action)(sender);
        }));
    root->addSubview(image);
    return image;
  };

  // Nine rows of controls above the close button; short screens get shorter rows.
  const double margin = 24;
  const double rowHeight = std::min(52.0, (height - 150) / 9);
  const double step = std::min(44.0, rowHeight - 4);
  const double valueWidth = 88;
  const double titleWidth = width - 2 * margin - 2 * step - valueWidth - 4;
  double y = 40;
  struct Row {
    const char* titleKey;
    const char* name;
    std::shared_ptr<platform::Label>* value;
  };
  const Row rows[] = {
      {"setting_focus_time", "focus", &focusTimeLabel_},
      {"setting_break_time", "break", &breakTimeLabel_},
      {"setting_session_number", "session", &sessionNumberLabel_},
      {"setting_long_break_time", "longBreak", &longBreakTimeLabel_},
  };
  const char* valueIdentifiers[] = {"focusTimeLabel", "breakTimeLabel", "sessionNumberLabel", "longBreakTimeLabel"};
  for (std::size_t i = 0; i < std::size(rows); ++i, y += rowHeight) {
    const Row& row = rows[i];
    addLabel(localizedString(row.titleKey), platform::Rect(margin, y, titleWidth, step),
             std::string(row.name) + "TitleLabel");
    auto down = addButton("-", platform::Rect(width - margin - 2 * step - valueWidth, y, step, step),
                          std::string(row.name) + "DownButton", &SettingsViewController::controlUpDownButtons);
    auto value =
        addLabel({}, platform::Rect(width - margin - step - valueWidth, y, valueWidth, step), valueIdentifiers[i]);
    value->setTextAlignment(platform::TextAlignment::Center);
    value->setTextColor(platform::Color::blackColor());
    *row.value = value;
    auto up = addButton("+", platform::Rect(width - margin - step, y, step, step), std::string(row.name) + "UpButton",
                        &SettingsViewController::controlUpDownButtons);
    up->setTag(static_cast<std::int64_t>(2 * i));
    down->setTag(static_cast<std::int64_t>(2 * i + 1));
    stepperButtons_[2 * i] = up;
    stepperButtons_[2 * i + 1] = down;
  }

  y += rowHeight * 0.2;
  const double noiseSize = rowHeight * 1.2;
  addLabel(localizedString("setting_white_noise"), platform::Rect(margin, y, titleWidth, noiseSize),
           "whiteNoiseTitleLabel");
  whiteNoise_ = addImage(platform::Rect(width - margin - noiseSize, y, noiseSize, noiseSize), "whiteNoise", 0,
                         &SettingsViewController::controlWhiteNoise);
  whiteNoise_->setImage(platform::Image::named(kWhiteNoiseImages[1]));
  y += rowHeight * 1.5;

  addLabel(localizedString("setting_alerts"), platform::Rect(margin, y, titleWidth, step), "alertsTitleLabel");
  const char* alertIdentifiers[] = {"vibrationAlert", "soundAlert", "flashAlert"};
  std::shared_ptr<platform::ImageView>* alertViews[] = {&vibrationAlert_, &soundAlert_, &flashAlert_};
  for (std::int64_t tag = 0; tag < 3; ++tag) {
    double x = width - margin - static_cast<double>(3 - tag) * (step + 12) + 12;
    *alertViews[tag] = addImage(platform::Rect(x, y, step, step), alertIdentifiers[tag], tag,
                                &SettingsViewController::updateAlertWithSender);
  }
  y += rowHeight * 1.3;

  const double linkWidth = (width - 2 * margin) / 3;
  addButton("KAP", platform::Rect(margin, y, linkWidth, step), "kapButton", &SettingsViewController::goToKAP);
  addButton("DUL", platform::Rect(margin + linkWidth, y, linkWidth, step), "dulButton",
            &SettingsViewController::goToDUL);
  addButton("MEZ", platform::Rect(margin + 2 * linkWidth, y, linkWidth, step), "mezButton",
            &SettingsViewController::goToMEZ);
  y += rowHeight;
  const double halfWidth = (width - 2 * margin) / 2;
  addButton(localizedString("setting_mail"), platform::Rect(margin, y, halfWidth, step), "mailButton",
            &SettingsViewController::sendEmail);
  addButton(localizedString("setting_social"), platform::Rect(margin + halfWidth, y, halfWidth, step), "socialButton",
            &SettingsViewController::sendToInstagram);

  closeButton_ = addButton(localizedString("setting_close"), platform::Rect(width / 2 - 60, height - 92, 120, step),
                           "closeButton", &SettingsViewController::dismissSettingViewController);
  setView(root);
}

void SettingsViewController::viewDidLoad() {
  platform::ViewController::viewDidLoad();
  postAppNotification(kTimerActivityChangeNotification, false);

  showWhiteNoiseImage();
  for (std::int64_t tag = 0; tag < 8; tag += 2) valueLabelForTag(tag)->setText(labelText(*stepperForTag(tag)));

  // Read and written back in this order, each shown as it is read.
  isVibrationAlertON_ = defaults()->boolForKey(kEnableVibrationKey);
  showAlertImage(0);
  defaults()->setBool(isVibrationAlertON_, kEnableVibrationKey);
  isFlashAlertON_ = defaults()->boolForKey(kEnableFlashKey);
  showAlertImage(2);
  defaults()->setBool(isFlashAlertON_, kEnableFlashKey);
  isSoundAlertON_ = defaults()->boolForKey(kEnableSoundKey);
  showAlertImage(1);
  defaults()->setBool(isSoundAlertON_, kEnableSoundKey);

  applyEnabledState();

  std::weak_ptr<SettingsViewController> weak = weakSelf<SettingsViewController>();
  for (const auto& button : stepperButtons_) {
    auto press = std::make_shared<platform::LongPressGestureRecognizer>(this, [weak](platform::GestureRecognizer& r) {
      if (auto self = weak.lock()) self->buttonLongPressedTimerAction(r);
    });
    press->setMinimumPressDuration(kLongPressDuration);
    button->addGestureRecognizer(press);
  }

  if (platform::Screen::main().bounds().height() >= 812.0) {
    platform::LayoutConstraint::activate(
        {closeButton_->centerYAnchor().constraintEqualToAnchor(view()->bottomAnchor(), -50)});
  }
  platform::Device::current().setProximityMonitoringEnabled(false);
}

void SettingsViewController::viewDidDisappear(bool animated) {
  platform::ViewController::viewDidDisappear(animated);
  // A press still held when the screen went away must not keep stepping values.
  if (longPressedTimer_) longPressedTimer_->invalidate();
  longPressedTimer_.reset();
}

void SettingsViewController::applyEnabledState() {
  const std::shared_ptr<platform::Label> labels[] = {focusTimeLabel_, breakTimeLabel_, sessionNumberLabel_,
                                                     longBreakTimeLabel_};
  const double alpha = isEnabled_ ? 1.0 : kDisabledAlpha;
  for (const auto& label : labels) label->setAlpha(alpha);
  for (const auto& button : stepperButtons_) {
    button->setAlpha(alpha);
    button->setEnabled(isEnabled_);
  }
  if (!isEnabled_ && platform::Device::current().model() != "iPhone" && !isEnableWNoise_) {
    whiteNoise_->setAlpha(kDisabledAlpha);
    whiteNoise_->setUserInteractionEnabled(false);
  }
}

std::shared_ptr<platform::Label> SettingsViewController::valueLabelForTag(std::int64_t tag) const {
  switch (tag / 2) {
    case 0:
      return focusTimeLabel_;
    case 1:
      return breakTimeLabel_;
    case 2:
      return sessionNumberLabel_;
    default:
      return longBreakTimeLabel_;
  }
}

void SettingsViewController::controlUpDownButtons(platform::Control& sender) { stepWithTag(sender.tag()); }

void SettingsViewController::stepWithTag(std::int64_t tag) {
  const Stepper* stepper = stepperForTag(tag);
  if (!stepper) return;
  std::unique_ptr<platform::ImpactFeedbackGenerator> haptic;
  if (HapticCenter::isHapticSupported()) {
    haptic = std::make_unique<platform::ImpactFeedbackGenerator>(platform::ImpactFeedbackStyle::Light);
    haptic->prepare();
  }
  auto store = defaults();
  const std::int64_t value = storedSetting(stepper->key);
  const bool up = tag % 2 == 0;
  if (up ? value > stepper->highest - 1 : value < stepper->lowest + 1) return;
  store->setInteger(up ? value + stepper->step : value - stepper->step, stepper->key);
  if (haptic) haptic->impactOccurred();
  valueLabelForTag(tag)->setText(labelText(*stepper));
  if (!stepper->notification.empty()) postAppNotification(stepper->notification, stepper->notificationObject);
}

void SettingsViewController::buttonLongPressedTimerAction(platform::GestureRecognizer& sender) {
  switch (sender.state()) {
    case platform::GestureRecognizerState::Began: {
      auto view = sender.view();
      if (longPressedTimer_) longPressedTimer_->invalidate();
      std::weak_ptr<SettingsViewController> weak = weakSelf<SettingsViewController>();
      longPressedTimer_ = platform::Timer::scheduled(
          kLongPressDuration, true,
          [weak](platform::Timer& timer) {
            if (auto self = weak.lock()) self->buttonLongPressedActionWithTimer(timer);
          },
          view ? platform::Value(view->tag()) : platform::Value());
      break;
    }
    case platform::GestureRecognizerState::Ended:
    case platform::GestureRecognizerState::Cancelled:
    case platform::GestureRecognizerState::Failed:
      if (longPressedTimer_) longPressedTimer_->invalidate();
      longPressedTimer_.reset();
      break;
    default:
      break;
  }
}

void SettingsViewController::buttonLongPressedActionWithTimer(platform::Timer& timer) {
  if (const std::int64_t* tag = timer.userInfo().ifInteger()) stepWithTag(*tag);
}

bool SettingsViewController::isLongPressRepeating() const { return longPressedTimer_ && longPressedTimer_->isValid(); }

void SettingsViewController::showAlertImage(std::int64_t tag) {
  const bool states[] = {isVibrationAlertON_, isSoundAlertON_, isFlashAlertON_};
  const std::shared_ptr<platform::ImageView> views[] = {vibrationAlert_, soundAlert_, flashAlert_};
  const auto index = static_cast<std::size_t>(tag);
  std::string name = std::string(kAlertSwitches[index].imagePrefix) + (states[index] ? "true" : "false");
  views[index]->setImage(platform::Image::named(name));
}

void SettingsViewController::updateAlertWithSender(platform::GestureRecognizer& sender) {
  auto view = sender.view();
  if (!view) return;
  const std::int64_t tag = view->tag();
  bool* states[] = {&isVibrationAlertON_, &isSoundAlertON_, &isFlashAlertON_};
  if (tag < 0 || tag > 2) return;
  const auto index = static_cast<std::size_t>(tag);
  bool on = !*states[index];
  *states[index] = on;
  showAlertImage(tag);
  defaults()->setBool(on, kAlertSwitches[index].key);
  if (!on) return;
  switch (tag) {
    case 0:
      SoundCenter::vibrate();
      break;
    case 1:
      soundCenter_->playBirdSound();
      break;
    default:
      soundCenter_->flashTorch();
      break;
  }
}

void SettingsViewController::showWhiteNoiseImage() {
  std::int64_t mode = defaults()->integerForKey(kWhiteNoiseModeKey);
  if (mode < 0 || mode >= static_cast<std::int64_t>(kWhiteNoiseImages.size())) return;
  whiteNoise_->setImage(platform::Image::named(kWhiteNoiseImages[static_cast<std::size_t>(mode)]));
}

void SettingsViewController::controlWhiteNoise(platform::GestureRecognizer& /*sender*/) {
  lightHaptic();
  std::int64_t mode = defaults()->integerForKey(kWhiteNoiseModeKey);
  const auto modes = static_cast<std::int64_t>(kWhiteNoiseImages.size());
  if (mode >= 0 && mode < modes) defaults()->setInteger((mode + 1) % modes, kWhiteNoiseModeKey);
  postAppNotification(kWhiteNoiseModeChangeNotification);
  showWhiteNoiseImage();
  soundCenter_->playSample();
}

void SettingsViewController::dismissSettingViewController(platform::Control& /*sender*/) {
  lightHaptic();
  dismissViewControllerAnimated(true, [] { postAppNotification(kTimerActivityChangeNotification, true); });
}

void SettingsViewController::openLink(std::string_view address, bool withCompletion) {
  if (!parsesAsURL(address)) return;
  auto application = platform::Application::shared();
  if (!application) return;
  std::function<void(bool)> completion;
  if (withCompletion) completion = [](bool) {};
  application->openURL(std::string(address), {}, std::move(completion));
}

void SettingsViewController::goToKAP(platform::Control& /*sender*/) { openLink(kKAPStoreURL, false); }
void SettingsViewController::goToDUL(platform::Control& /*sender*/) { openLink(kDULStoreURL, false); }
void SettingsViewController::goToMEZ(platform::Control& /*sender*/) { openLink(kMEZStoreURL, false); }
void SettingsViewController::sendToInstagram(platform::Control& /*sender*/) { openLink(kSocialPageURL, true); }

void SettingsViewController::sendEmail(platform::Control& /*sender*/) {
  lightHaptic();
  auto composer = std::make_shared<platform::MailComposeViewController>();
  composer->setMailComposeDelegate(weakSelf<SettingsViewController>());
  if (!platform::MailComposeViewController::canSendMail()) {
    platform::Console::print("메일을 등록하세요");
    return;
  }
  composer->setToRecipients({std::string(kSupportAddress)});
  presentViewController(composer, true);
}

void SettingsViewController::mailComposeControllerDidFinishWithResult(platform::MailComposeViewController& controller,
                                                                      platform::MailComposeResult /*result*/,
                                                                      const platform::Error* /*error*/) {
  controller.dismissViewControllerAnimated(true);
}

void addSettingsScreen(platform::Storyboard& storyboard) {
  storyboard.addViewController(std::string(SettingsViewController::kStoryboardIdentifier),
                               [] { return std::make_shared<SettingsViewController>(); });
  platform::SegueDefinition segue;
  segue.identifier = std::string(kSettingSegue);
  segue.kind = platform::SegueKind::Present;
  segue.destination = std::string(SettingsViewController::kStoryboardIdentifier);
  storyboard.addSegue(std::move(segue));
}
