#include "sdk/crash/capture/rlz_capture_state.h"

#include <time.h>
#include <unistd.h>

RLZCaptureState& RLZCaptureStateShared() {
  static RLZCaptureState state{};
  return state;
}

void RLZCaptureExitAfterLostLatch() {
  // Ten seconds is far beyond any recording; it only bounds a winner that itself got stuck.
  const timespec pause{0, 10'000'000};
  for (int i = 0; i < 1000 && RLZCaptureStateShared().recording.load(); ++i) nanosleep(&pause, nullptr);
  _exit(1);
}
