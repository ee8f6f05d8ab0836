#include "platform/ui/screen.h"

#include "platform/foundation/thread_safety.h"

namespace platform {

Screen& Screen::main() {
  static Screen screen;
  return screen;
}

Rect Screen::bounds() const {
  MutexLock lock(mutex_);
  return Rect(Point{}, size_);
}

double Screen::scale() const {
  MutexLock lock(mutex_);
  return scale_;
}

void Screen::setSize(Size size) {
  MutexLock lock(mutex_);
  size_ = size;
}

void Screen::setScale(double scale) {
  MutexLock lock(mutex_);
  if (scale > 0) scale_ = scale;
}

void Screen::reset() {
  MutexLock lock(mutex_);
  size_ = Size{375, 667};
  scale_ = 2;
}

}  // namespace platform
