#include "platform/ui/geometry.h"

#include <algorithm>

#include "platform/foundation/format.h"

namespace platform {

Rect Rect::intersection(const Rect& other) const {
  double x0 = std::max(minX(), other.minX());
  double y0 = std::max(minY(), other.minY());
  double x1 = std::min(maxX(), other.maxX());
  double y1 = std::min(maxY(), other.maxY());
  if (x1 <= x0 || y1 <= y0) return Rect();
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

std::string Rect::description() const {
  return format("{{%g, %g}, {%g, %g}}", origin.x, origin.y, size.width, size.height);
}

}  // namespace platform
