// The registry of motion managers shared by the managers and the driver.
#pragma once

#include <mutex>
#include <vector>

namespace platform {

class MotionManager;

struct MotionState {
  std::mutex mutex;
  bool available = true;
  std::vector<MotionManager*> managers;  // each removes itself before it dies

  static MotionState& shared();
};

}  // namespace platform
