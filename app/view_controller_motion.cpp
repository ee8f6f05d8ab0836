// The face-down trigger of the focus screen: the phone laid face down with the proximity sensor
// covered starts a period; turned face up or lifted, it stops one.
#include <cmath>

#include "app/app_notifications.h"
#include "app/main_timer.h"
#include "app/view_controller.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread_safety.h"
#include "platform/motion/motion_manager.h"
#include "platform/runloop/run_loop.h"
#include "platform/ui/device.h"

namespace {

constexpr float kWindow = 40.0f;

bool near(float value, float target) { return std::fabs(target - value) < kWindow; }

float degrees(double y, double x) { return static_cast<float>(std::atan2(y, x) * 180.0 / M_PI); }

}  // namespace

void ViewController::startMotionDetection() {
  if (isFaceDownDevice()) {
    startAccelerometerUpdates();
  } else {
    setUpPadButton();
  }
}

void ViewController::startAccelerometerUpdates() {
  std::weak_ptr<ViewController> weak = weakSelf<ViewController>();
  motionManager_->startAccelerometerUpdates(platform::OperationQueue::make(),
                                            [weak](const platform::AccelerometerData* data, const platform::Error* error) {
                                              auto self = weak.lock();
                                              if (!self) return;
                                              self->handleMotion(data, error);
                                              // A screen let go meanwhile ends on the main thread, as
                                              // views must, not on the sensor's queue.
                                              if (self.use_count() == 1) {
                                                platform::DispatchQueue::main()->async([self] {});
                                              }
                                            });
}

void ViewController::controlMotionDetectorWithNoti(const platform::Notification& notification) {
  if (booleanNumberValue(notification.object) == true) {
    startAccelerometerUpdates();
  } else {
    motionManager_->stopAccelerometerUpdates();
  }
}

void ViewController::presentationControllerDidDismiss(platform::PresentationController& /*controller*/) {
  startAccelerometerUpdates();
}

void ViewController::updateProximityState() {
  platform::RecursiveMutexLock lock(mutex_);
  if (focusTimer_ && focusTimer_->isValid() && isFocusStarted_ && !platform::Device::current().proximityState()) {
    stopFocus(false);
  }
}

void ViewController::handleMotion(const platform::AccelerometerData* data, const platform::Error* /*error*/) {
  if (!data) return;
  const platform::Acceleration& a = data->acceleration;
  float a1 = degrees(a.y, a.x);
  float a2 = degrees(a.z, a.y);
  float a3 = degrees(a.z, a.x);

  if (near(a1, -90) && near(std::fabs(a2), 180)) return;                // upright
  if (near(std::fabs(a1), 180) && near(std::fabs(a3), 180)) return;     // on its side, one way
  if (near(std::fabs(a1), 0) && near(std::fabs(a3), 0)) return;         // on its side, the other way
  if (near(a1, 90) && near(std::fabs(a2), 0)) return;                   // upside down
  if (near(a2, -90) && near(a3, -90)) {                                 // screen up
    platform::RecursiveMutexLock lock(mutex_);
    if (focusTimer_ && focusTimer_->isValid() && isFocusStarted_) stopFocus(false);
    return;
  }
  if (near(a2, 90) && near(a3, 90)) {                                   // screen down
    // The sensor is read before this sample's own switch-on can reach the main queue, so the
    // sample that turns monitoring on never starts a period by itself.
    bool covered = platform::Device::current().proximityState();
    platform::DispatchQueue::main()->async([] { platform::Device::current().setProximityMonitoringEnabled(true); });
    platform::RecursiveMutexLock lock(mutex_);
    if (!isFocusStarted_ && covered && focusTime_ >= 1) startFocus();
  }
}
