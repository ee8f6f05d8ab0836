// The break screen: counts a short or long break down in whole seconds, keeps counting right
// while the app is in the background, alerts three times when the break is over and returns to
// the focus screen. A break screen returns once; its timers and observers end with that return.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ui/view_controller.h"

namespace platform {
class Button;
class ImageView;
class Label;
class Timer;
}  // namespace platform

class BreakViewController : public platform::ViewController {
 public:
  BreakViewController();
  ~BreakViewController() override;

  std::string_view className() const override { return "BreakViewController"; }
  void loadView() override;
  void viewDidLoad() override;
  platform::StatusBarStyle preferredStatusBarStyle() const override;

  // Inputs, set by the card screen before the screen loads. Seconds.
  std::int64_t breakTime() const { return breakTime_; }
  void setBreakTime(std::int64_t seconds) { breakTime_ = seconds; }
  std::int64_t doneSession() const { return doneSession_; }
  void setDoneSession(std::int64_t session) { doneSession_ = session; }

  void updateTimer();
  void repeatAlertTimer();
  void pauseWhenBackgroundWithNoti();
  void willEnterForegroundWithNoti();
  void closeBreakView();

  void updateBreakTimeLabel();
  void saveBackgroundTime();
  void resumeFromBackground();
  void returnToMain();

  int focusFinishAlertNumber() const { return focusFinishAlertNumber_; }
  bool isBreakTimerRunning() const;
  bool isAlertTimerRunning() const;
  bool hasReturned() const { return returned_; }
  const std::shared_ptr<platform::Label>& breakTimeLabel() const { return breakTimeLabel_; }
  const std::shared_ptr<platform::ImageView>& fishingImageView() const { return fishingImageView_; }
  const std::shared_ptr<platform::Button>& closeButton() const { return closeButton_; }

 private:
  void endObservers();

  std::shared_ptr<platform::Label> breakTimeLabel_;
  std::shared_ptr<platform::ImageView> fishingImageView_;
  std::shared_ptr<platform::Button> closeButton_;
  std::shared_ptr<platform::Timer> breakTimer_;
  std::shared_ptr<platform::Timer> alertTimer_;
  int focusFinishAlertNumber_ = 0;
  std::int64_t doneSession_ = 1;
  std::int64_t breakTime_ = 0;
  bool returned_ = false;
};
