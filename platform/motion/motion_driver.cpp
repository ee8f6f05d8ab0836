#include "platform/motion/motion_driver.h"

#include <cmath>
#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/motion/motion_state.h"
#include "platform/runloop/clock.h"
#include "platform/ui/application.h"

namespace platform {

// Never destroyed: managers owned by other statics may still unregister at exit.
MotionState& MotionState::shared() {
  static auto* state = new MotionState;
  return *state;
}

namespace MotionDriver {

namespace {

constexpr double kDefaultRepeatInterval = 0.1;

struct Pose {
  Mutex mutex;
  std::optional<Acceleration> held GUARDED_BY(mutex);
  double interval GUARDED_BY(mutex) = kDefaultRepeatInterval;
  double origin GUARDED_BY(mutex) = 0;        // uptime of the first push of the held pose
  std::uint64_t ticks GUARDED_BY(mutex) = 0;  // pushes since origin
  std::uint64_t generation GUARDED_BY(mutex) = 0;
};

Pose& pose() {
  static auto* p = new Pose;
  return *p;
}

std::shared_ptr<DispatchQueue> poseQueue() {
  static const auto* queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::serial("platform.motion.pose"));
  return *queue;
}

void push(const AccelerometerData* data, const Error* error) {
  // A suspended app hears nothing from its sensors.
  if (auto app = Application::shared(); app && app->applicationState() == ApplicationState::Background) return;
  auto& s = MotionState::shared();
  MutexLock lock(s.mutex);
  if (!s.available) return;
  for (MotionManager* manager : s.managers) manager->deliver(data, error);
}

void scheduleNext(std::uint64_t generation);

void repeatTick(std::uint64_t generation) {
  Acceleration a;
  {
    auto& p = pose();
    MutexLock lock(p.mutex);
    if (generation != p.generation || !p.held) return;
    a = *p.held;
    ++p.ticks;
  }
  pushSample(a.x, a.y, a.z);
  scheduleNext(generation);
}

// Due times are counted from the origin so that repeats do not drift.
void scheduleNext(std::uint64_t generation) {
  double delay;
  {
    auto& p = pose();
    MutexLock lock(p.mutex);
    if (generation != p.generation) return;
    const double due = p.origin + static_cast<double>(p.ticks + 1) * p.interval;
    delay = std::max(0.0, due - Clock::current().uptime());
  }
  poseQueue()->after(delay, [generation] { repeatTick(generation); });
}

void restartRepeats() {
  std::optional<Acceleration> held;
  std::uint64_t generation;
  {
    auto& p = pose();
    MutexLock lock(p.mutex);
    generation = ++p.generation;
    held = p.held;
    p.origin = Clock::current().uptime();
    p.ticks = 0;
  }
  if (!held) return;
  pushSample(held->x, held->y, held->z);
  scheduleNext(generation);
}

}  // namespace

void reset() {
  {
    auto& s = MotionState::shared();
    MutexLock lock(s.mutex);
    s.available = true;
  }
  auto& p = pose();
  MutexLock lock(p.mutex);
  p.held.reset();
  p.interval = kDefaultRepeatInterval;
  ++p.generation;
}

void pushSample(double x, double y, double z) {
  const AccelerometerData data{{x, y, z}, Clock::current().uptime()};
  push(&data, nullptr);
}

void pushEmpty(const Error* error) { push(nullptr, error); }

void setAccelerometerAvailable(bool available) {
  auto& s = MotionState::shared();
  MutexLock lock(s.mutex);
  s.available = available;
}

void setHeldPose(double x, double y, double z) {
  {
    auto& p = pose();
    MutexLock lock(p.mutex);
    p.held = Acceleration{x, y, z};
  }
  restartRepeats();
}

void clearHeldPose() {
  auto& p = pose();
  MutexLock lock(p.mutex);
  p.held.reset();
  ++p.generation;
}

std::optional<Acceleration> heldPose() {
  auto& p = pose();
  MutexLock lock(p.mutex);
  return p.held;
}

void setRepeatInterval(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  {
    auto& p = pose();
    MutexLock lock(p.mutex);
    p.interval = seconds;
  }
  restartRepeats();
}

double repeatInterval() {
  auto& p = pose();
  MutexLock lock(p.mutex);
  return p.interval;
}

int activeManagerCount() {
  auto& s = MotionState::shared();
  MutexLock lock(s.mutex);
  int count = 0;
  for (MotionManager* manager : s.managers) count += manager->isAccelerometerActive() ? 1 : 0;
  return count;
}

}  // namespace MotionDriver
}  // namespace platform
