// The driver of virtual time on the main thread: settling (running the main run loop and waiting
// for background queues until nothing is left to do now) and advancing a manual clock item by
// item along the timeline.
#pragma once

namespace platform::detail {

// Real seconds after which a settle that never becomes idle gives up with an exception.
inline constexpr double kSettleLimitSeconds = 30;

void settle();
void advanceVirtualTime(double seconds);
// A fresh timeline and main run loop for a new test.
void resetVirtualTime();

}  // namespace platform::detail
