// Feeds the accelerometer. A sample goes to every manager whose updates are active at the time of
// the push, unless the running application is in the background (a suspended app gets none). A
// held pose is pushed again every repeat interval of the platform clock until cleared; the
// repeats keep their rhythm across a stay in the background and resume with the foreground.
#pragma once

#include <optional>

#include "platform/motion/motion_manager.h"

namespace platform::MotionDriver {

// Clears the held pose, makes the accelerometer available, interval back to 0.1 s.
void reset();

// Units of g; the phone face up on a table reads (0, 0, -1), face down (0, 0, 1).
void pushSample(double x, double y, double z);
// A sample without data, with the given error (or none).
void pushEmpty(const Error* error = nullptr);

void setAccelerometerAvailable(bool available);

// Pushes the pose now, then every repeatInterval() seconds.
void setHeldPose(double x, double y, double z);
void clearHeldPose();
std::optional<Acceleration> heldPose();
// 0.1 s by default (10 Hz); an interval that is not positive and finite is ignored.
void setRepeatInterval(double seconds);
double repeatInterval();

// Managers whose updates are on, for the side pane.
int activeManagerCount();

}  // namespace platform::MotionDriver
