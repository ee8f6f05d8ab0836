// The settings screen, shown over the focus screen by "setting_segue": steppers for the focus,
// break and long-break lengths and the periods per cycle (a tap steps once, a long press repeats
// every 0.2 s), the three alert switches with a preview each, the white-noise mode with a short
// preview, links to the sibling apps and the social-media page, and a mail to support. Every
// change is stored at once and announced by the app's notifications.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/mail/mail_compose_view_controller.h"
#include "platform/ui/view_controller.h"

namespace platform {
class Button;
class Control;
class GestureRecognizer;
class ImageView;
class Label;
class Storyboard;
class Timer;
}  // namespace platform

class SoundCenter;

class SettingsViewController : public platform::ViewController, public platform::MailComposeViewControllerDelegate {
 public:
  static constexpr std::string_view kStoryboardIdentifier = "SettingsViewController";
  static constexpr double kDisabledAlpha = 0.15;
  static constexpr double kLongPressDuration = 0.2;

  // Addresses the links open; all under the reserved domain, so nothing real is ever reached.
  static constexpr std::string_view kKAPStoreURL = "https://apps.store.invalid/app/kap/id1000000001?ls=1&mt=8";
  static constexpr std::string_view kDULStoreURL = "https://apps.store.invalid/app/dul/id1000000002?ls=1&mt=8";
  static constexpr std::string_view kMEZStoreURL = "https://apps.store.invalid/app/mez/id1000000003?ls=1&mt=8";
  static constexpr std::string_view kSocialPageURL = "https://social.invalid/voz.focus";
  static constexpr std::string_view kSupportAddress = "support@focus-timer.invalid";

  // Image names of the white-noise modes 0 to 8.
  static constexpr std::array<std::string_view, 9> kWhiteNoiseImages = {"off",   "rain",   "night",    "fire", "wind",
                                                                        "river", "coffee", "stardust", "train"};

  SettingsViewController();
  ~SettingsViewController() override;

  std::string_view className() const override { return "SettingsViewController"; }
  void loadView() override;
  void viewDidLoad() override;
  void viewDidDisappear(bool animated) override;
  bool prefersStatusBarHidden() const override { return true; }

  // Set by the presenter before the view loads.
  bool isEnabled() const { return isEnabled_; }
  void setIsEnabled(bool enabled) { isEnabled_ = enabled; }
  bool isEnableWNoise() const { return isEnableWNoise_; }
  void setIsEnableWNoise(bool enabled) { isEnableWNoise_ = enabled; }

  // Actions.
  void controlUpDownButtons(platform::Control& sender);
  void buttonLongPressedTimerAction(platform::GestureRecognizer& sender);
  void buttonLongPressedActionWithTimer(platform::Timer& timer);
  void updateAlertWithSender(platform::GestureRecognizer& sender);
  void controlWhiteNoise(platform::GestureRecognizer& sender);
  void dismissSettingViewController(platform::Control& sender);
  void goToKAP(platform::Control& sender);
  void goToDUL(platform::Control& sender);
  void goToMEZ(platform::Control& sender);
  void sendEmail(platform::Control& sender);
  void sendToInstagram(platform::Control& sender);
  void mailComposeControllerDidFinishWithResult(platform::MailComposeViewController& controller,
                                                platform::MailComposeResult result,
                                                const platform::Error* error) override;

  // One step of the stepper of a button tag (even: up, odd: down).
  void stepWithTag(std::int64_t tag);
  void applyEnabledState();

  bool isVibrationAlertON() const { return isVibrationAlertON_; }
  bool isSoundAlertON() const { return isSoundAlertON_; }
  bool isFlashAlertON() const { return isFlashAlertON_; }
  bool isLongPressRepeating() const;

  const std::shared_ptr<platform::ImageView>& whiteNoise() const { return whiteNoise_; }
  const std::shared_ptr<platform::ImageView>& vibrationAlert() const { return vibrationAlert_; }
  const std::shared_ptr<platform::ImageView>& soundAlert() const { return soundAlert_; }
  const std::shared_ptr<platform::ImageView>& flashAlert() const { return flashAlert_; }
  const std::shared_ptr<platform::Label>& focusTimeLabel() const { return focusTimeLabel_; }
  const std::shared_ptr<platform::Label>& breakTimeLabel() const { return breakTimeLabel_; }
  const std::shared_ptr<platform::Label>& sessionNumberLabel() const { return sessionNumberLabel_; }
  const std::shared_ptr<platform::Label>& longBreakTimeLabel() const { return longBreakTimeLabel_; }
  // The eight stepper buttons by tag: focus up, focus down, break up, break down, periods up,
  // periods down, long break up, long break down.
  const std::array<std::shared_ptr<platform::Button>, 8>& stepperButtons() const { return stepperButtons_; }
  const std::shared_ptr<platform::Button>& closeButton() const { return closeButton_; }

 private:
  std::shared_ptr<platform::Label> valueLabelForTag(std::int64_t tag) const;
  void showWhiteNoiseImage();
  void showAlertImage(std::int64_t tag);
  void openLink(std::string_view address, bool withCompletion);

  std::shared_ptr<platform::ImageView> whiteNoise_;
  std::shared_ptr<platform::ImageView> vibrationAlert_;
  std::shared_ptr<platform::ImageView> soundAlert_;
  std::shared_ptr<platform::ImageView> flashAlert_;
  std::shared_ptr<platform::Label> focusTimeLabel_;
  std::shared_ptr<platform::Label> breakTimeLabel_;
  std::shared_ptr<platform::Label> sessionNumberLabel_;
  std::shared_ptr<platform::Label> longBreakTimeLabel_;
  std::array<std::shared_ptr<platform::Button>, 8> stepperButtons_;
  std::shared_ptr<platform::Button> closeButton_;

  bool isEnabled_ = true;
  bool isEnableWNoise_ = true;
  std::shared_ptr<platform::Timer> longPressedTimer_;
  std::shared_ptr<SoundCenter> soundCenter_;
  bool isVibrationAlertON_ = true;
  bool isSoundAlertON_ = true;
  bool isFlashAlertON_ = true;
};

// Registers the settings screen and "setting_segue" (a sheet over the focus screen).
void addSettingsScreen(platform::Storyboard& storyboard);
