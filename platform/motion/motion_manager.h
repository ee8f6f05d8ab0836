// The accelerometer. Samples come from MotionDriver (tests push them; the terminal front end
// repeats the pose the user holds) and reach each active manager's handler on its operation
// queue, in the order they were pushed.
#pragma once

#include <functional>
#include <memory>

#include "platform/foundation/thread_safety.h"

namespace platform {

class Error;
class OperationQueue;

// Units of g; a phone flat on its back reads (0, 0, -1).
struct Acceleration {
  double x = 0;
  double y = 0;
  double z = 0;
};

struct AccelerometerData {
  Acceleration acceleration;
  double timestamp = 0;  // clock uptime of the sample
};

class MotionManager {
 public:
  // `data` is null when the sample carries none; `error` is null unless the sensor failed. Both
  // are valid only during the call.
  using AccelerometerHandler = std::function<void(const AccelerometerData* data, const Error* error)>;

  MotionManager();
  ~MotionManager();  // stops updates
  MotionManager(const MotionManager&) = delete;
  MotionManager& operator=(const MotionManager&) = delete;

  bool isAccelerometerAvailable() const;
  double accelerometerUpdateInterval() const;  // 0.01 s unless set
  void setAccelerometerUpdateInterval(double seconds);

  // A second start replaces the queue and the handler; blocks already queued still run.
  // Without a queue or a handler nothing is delivered.
  void startAccelerometerUpdates(std::shared_ptr<OperationQueue> queue, AccelerometerHandler handler);
  void stopAccelerometerUpdates();
  bool isAccelerometerActive() const;
  // The last sample received while active.
  std::shared_ptr<const AccelerometerData> accelerometerData() const;

  // Called by the driver.
  void deliver(const AccelerometerData* data, const Error* error);

 private:
  mutable Mutex mutex_;
  double interval_ GUARDED_BY(mutex_) = 0.01;
  bool active_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<OperationQueue> queue_ GUARDED_BY(mutex_);
  std::shared_ptr<const AccelerometerHandler> handler_ GUARDED_BY(mutex_);
  std::shared_ptr<const AccelerometerData> last_ GUARDED_BY(mutex_);
};

}  // namespace platform
