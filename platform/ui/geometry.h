// Points, sizes and rectangles in points, with the origin at the top left and y growing down.
#pragma once

#include <string>

namespace platform {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;

  constexpr Rect() = default;
  constexpr Rect(Point o, Size s) : origin(o), size(s) {}
  constexpr Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

  double minX() const { return origin.x; }
  double midX() const { return origin.x + size.width / 2; }
  double maxX() const { return origin.x + size.width; }
  double minY() const { return origin.y; }
  double midY() const { return origin.y + size.height / 2; }
  double maxY() const { return origin.y + size.height; }
  double width() const { return size.width; }
  double height() const { return size.height; }
  bool isEmpty() const { return size.width <= 0 || size.height <= 0; }
  // Edges at the top and left belong to the rectangle, those at the bottom and right do not.
  bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
  Rect offsetBy(double dx, double dy) const { return Rect(origin.x + dx, origin.y + dy, size.width, size.height); }
  Rect intersection(const Rect& other) const;

  // "{{x, y}, {w, h}}", as the platform prints rectangles.
  std::string description() const;

  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace platform
