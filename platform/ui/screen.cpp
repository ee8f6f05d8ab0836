#include "platform/ui/screen.h"

namespace platform {

Screen& Screen::main() {
  static Screen screen;
  return screen;
}

Rect Screen::bounds() const {
  std::lock_guard lock(mutex_);
  return Rect(Point{}, size_);
}

double Screen::scale() const {
  std::lock_guard lock(mutex_);
  return scale_;
}

void Screen::setSize(Size size) {
  std::lock_guard lock(mutex_);
  size_ = size;
}

void Screen::setScale(double scale) {
  std::lock_guard lock(mutex_);
  if (scale > 0) scale_ = scale;
}

void Screen::reset() {
  std::lock_guard lock(mutex_);
  size_ = Size{375, 667};
  scale_ = 2;
}

}  // namespace platform
