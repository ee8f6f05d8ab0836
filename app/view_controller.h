// The focus screen: the remaining focus time, the timer state machine of a period (ready,
// running, interrupted, finished), the end-of-period alerts and the hand-over to the period
// card. Periods start and stop by the face-down trigger on "iPhone" and by a play/pause button on
// every other device model.
//
// The screen lives as long as the process, but its timers, observers and the accelerometer's
// handler reach it only through weak references, so none of them outlives it. The fields guarded
// by mutex_ are used from both the main thread and the accelerometer's queue; everything else
// belongs to the main thread.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/thread_safety.h"
#include "platform/ui/view_controller.h"

namespace platform {
class Button;
class Error;
class ImageView;
class Label;
class MotionManager;
class Timer;
class View;
struct AccelerometerData;
struct Notification;
}  // namespace platform

class SoundCenter;

class ViewController : public platform::ViewController, public platform::AdaptivePresentationControllerDelegate {
 public:
  static constexpr std::string_view kFaceDownModel = "iPhone";
  // The unwind action of "unwind_main".
  static constexpr std::string_view kUnwindAction = "unwindToVC1WithSegue:";

  ViewController();
  ~ViewController() override;

  std::string_view className() const override { return "ViewController"; }
  void loadView() override;
  void viewDidLoad() override;
  bool prefersStatusBarHidden() const override { return true; }
  void prepareForSegue(platform::StoryboardSegue& segue, const std::any& sender) override;

  // Timer and notification targets.
  void updateTimer();
  void repeatAlertTimer();
  void setTimerForReady();
  void returnFromBreakTime();
  // Control actions.
  void closeButtonAction();
  void onOffButtonForPad();

  // The face-down trigger (view_controller_motion.cpp).
  void startMotionDetection();
  void controlMotionDetectorWithNoti(const platform::Notification& notification);
  void updateProximityState();
  void presentationControllerDidDismiss(platform::PresentationController& controller) override;
  void handleMotion(const platform::AccelerometerData* data, const platform::Error* error);

  // The screen's look (view_controller_presentation.cpp).
  void layoutForScreen();
  void refreshMascot();
  void blinkTimerLabel();
  void showFunFace();
  void showIntro();
  void dismissImageView();
  void setUpPadButton();
  void blinkBottomBirdImage();
  void blinkAttention();

  // The state machine. startFocus and stopFocus may run on any thread.
  void startFocus();
  void stopFocus(bool quiet);
  void finishFocus();
  void updateTimerLabel();
  void showReadyControls();
  void resetSessionCount();
  void showResetSheet();
  void resetCurrentSession();
  void resetAllSessions();

  // What tests and front ends read.
  std::int64_t focusTime() const;
  bool isFocusStarted() const;
  bool isPiloAngry() const;
  bool isResetDone() const;
  // A valid countdown timer exists.
  bool isFocusTimerRunning() const;
  int focusFinishAlertNumber() const { return focusFinishAlertNumber_; }
  bool isAlertTimerRunning() const;
  bool isAngryTimerRunning() const;
  const std::shared_ptr<platform::MotionManager>& motionManager() const { return motionManager_; }
  const std::shared_ptr<platform::ImageView>& backgroundImageView() const { return backgroundImageView_; }
  const std::shared_ptr<platform::Button>& closeButton() const { return closeButton_; }
  const std::shared_ptr<platform::Label>& timerLabel() const { return timerLabel_; }
  const std::shared_ptr<platform::ImageView>& birdTalk() const { return birdTalk_; }
  const std::shared_ptr<platform::Button>& settingButton() const { return settingButton_; }
  const std::shared_ptr<platform::View>& dotImageView() const { return dotImageView_; }
  const std::shared_ptr<platform::ImageView>& angryView() const { return angryView_; }
  const std::shared_ptr<platform::Button>& startButton() const { return startButton_; }
  const std::shared_ptr<platform::ImageView>& introImageView() const { return introImageView_; }
  const std::shared_ptr<platform::Button>& introStartButton() const { return introStartButton_; }

 private:
  static bool isFaceDownDevice();
  void startAccelerometerUpdates();
  void lightHaptic();
  void setPiloAngry(bool angry);
  void resetFocusTime();
  void showCard(std::int64_t finishedSession);
  std::shared_ptr<platform::ImageView> makeAngryFace() const;
  void scheduleAttentionStep(int step);

  // Outlets of the screen's layout.
  std::shared_ptr<platform::ImageView> backgroundImageView_;
  std::shared_ptr<platform::Button> closeButton_;
  std::shared_ptr<platform::Label> timerLabel_;
  std::shared_ptr<platform::ImageView> birdTalk_;
  std::shared_ptr<platform::Button> settingButton_;
  std::shared_ptr<platform::View> dotImageView_;

  std::shared_ptr<platform::ImageView> angryView_;
  std::shared_ptr<platform::Button> startButton_;
  std::shared_ptr<platform::ImageView> introImageView_;
  std::shared_ptr<platform::Button> introStartButton_;

  mutable platform::RecursiveMutex mutex_;
  std::int64_t focusTime_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<platform::Timer> focusTimer_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::Timer> angryTimer_;
  std::shared_ptr<platform::Timer> alertTimer_;
  bool isFocusStarted_ GUARDED_BY(mutex_) = false;
  bool timerBlink_ = false;
  int focusFinishAlertNumber_ = 0;
  bool isResetDone_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<platform::MotionManager> motionManager_;
  std::shared_ptr<SoundCenter> soundCenter_;
  bool isPiloAngry_ GUARDED_BY(mutex_) = false;
};
