// The period card: which period of the cycle just ended, a random illustration, an optional
// title and time line, the composed card as an image, and the way on to the short or the long
// break.
#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui/text_field.h"
#include "platform/ui/view_controller.h"

namespace platform {
class AlertController;
class Button;
class Image;
class ImageView;
class Label;
class View;
}  // namespace platform

class CardViewController : public platform::ViewController, public platform::TextFieldDelegate {
 public:
  static constexpr std::size_t kCardImageCount = 126;
  // "card_01" ... "card_126".
  static std::string cardImageName(std::size_t index);
  // The widest title the field accepts on a screen of that height, in points.
  static double titleWidthLimit(double screenHeight);

  CardViewController();
  ~CardViewController() override;

  std::string_view className() const override { return "CardViewController"; }
  void loadView() override;
  void viewDidLoad() override;
  platform::StatusBarStyle preferredStatusBarStyle() const override;
  void prepareForSegue(platform::StoryboardSegue& segue, const std::any& sender) override;

  // Inputs, set before the screen loads.
  std::int64_t sessionDoneNumer() const { return sessionDoneNumer_; }
  void setSessionDoneNumer(std::int64_t number) { sessionDoneNumer_ = number; }
  std::int64_t sessionTime() const { return sessionTime_; }
  void setSessionTime(std::int64_t minutes) { sessionTime_ = minutes; }

  // Control actions.
  void addTitleWithSender();
  void showTimeViewWithSender();
  void saveImage();
  void startBreakTime();

  bool textFieldShouldChangeCharactersInRange(platform::TextField& textField, platform::TextRange range,
                                              const std::string& replacement) override;
  bool textFieldShouldReturn(platform::TextField& textField) override;

  void updateSessionLabel();
  void setRandomCardImage();
  void adjustLayoutForScreen();
  // The "ok" of the title alert (`confirming`) or the return key.
  void applyTitle(const platform::TextField* field, bool confirming);
  // The card at 1000 x 1465 points, scale 1.
  std::shared_ptr<platform::Image> renderCardImage() const;

  const std::string& titleText() const { return titleText_; }
  bool isTitleOn() const { return isTitleOn_; }
  bool isTime1On() const { return isTime1On_; }
  bool isTime2On() const { return isTime2On_; }
  const std::shared_ptr<platform::Label>& sessionLabel() const { return sessionLabel_; }
  const std::shared_ptr<platform::ImageView>& cardImageView() const { return cardImageView_; }
  const std::shared_ptr<platform::Button>& saveButton() const { return saveButton_; }
  const std::shared_ptr<platform::Label>& titleLabel() const { return titleLabel_; }
  const std::shared_ptr<platform::Label>& sessionTimeLabel() const { return sessionTimeLabel_; }
  const std::shared_ptr<platform::Label>& totalTimeLabel() const { return totalTimeLabel_; }
  const std::shared_ptr<platform::View>& timeView() const { return timeView_; }
  const std::shared_ptr<platform::Label>& timeLabel() const { return timeLabel_; }
  const std::shared_ptr<platform::Button>& titleButton() const { return titleButton_; }
  const std::shared_ptr<platform::Button>& timeButton() const { return timeButton_; }
  const std::shared_ptr<platform::Button>& startBreakButton() const { return startBreakButton_; }

 private:
  void playLightHaptic();
  void setTitleButtonImage(bool titled);

  std::shared_ptr<platform::Label> sessionLabel_;
  std::shared_ptr<platform::ImageView> cardImageView_;
  std::shared_ptr<platform::Button> saveButton_;
  std::shared_ptr<platform::Label> titleLabel_;
  std::shared_ptr<platform::Label> sessionTimeLabel_;
  std::shared_ptr<platform::Label> totalTimeLabel_;
  std::shared_ptr<platform::View> timeView_;
  std::shared_ptr<platform::Label> timeLabel_;
  std::shared_ptr<platform::Button> titleButton_;
  std::shared_ptr<platform::Button> timeButton_;
  std::shared_ptr<platform::Button> startBreakButton_;
  std::string titleText_;
  bool isTitleOn_ = false;
  bool isTime1On_ = false;
  bool isTime2On_ = false;
  std::int64_t sessionDoneNumer_ = 0;
  std::int64_t sessionTime_ = 0;
};

// The status bar of the card and break screens: dark text from system 13 on.
platform::StatusBarStyle darkContentStatusBarStyle();
