// The registry of motion managers shared by the managers and the driver.
#pragma once

#include <vector>

#include "platform/foundation/thread_safety.h"

namespace platform {

class MotionManager;

struct MotionState {
  Mutex mutex;
  bool available GUARDED_BY(mutex) = true;
  std::vector<MotionManager*> managers GUARDED_BY(mutex);  // each removes itself before it dies

  static MotionState& shared();
};

}  // namespace platform
