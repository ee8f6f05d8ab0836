// Colours as red, green, blue and alpha components between 0 and 1.
#pragma once

#include <string>

namespace platform {

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static constexpr Color rgba(double r, double g, double b, double a = 1) { return Color{r, g, b, a}; }
  static constexpr Color white(double white, double alpha) { return Color{white, white, white, alpha}; }
  static constexpr Color whiteColor() { return white(1, 1); }
  static constexpr Color blackColor() { return white(0, 1); }
  static constexpr Color grayColor() { return white(0.5, 1); }
  static constexpr Color lightGrayColor() { return white(2.0 / 3.0, 1); }
  static constexpr Color darkGrayColor() { return white(1.0 / 3.0, 1); }
  static constexpr Color clearColor() { return white(0, 0); }
  static constexpr Color redColor() { return rgba(1, 0, 0); }
  static constexpr Color systemBlueColor() { return rgba(0, 122.0 / 255, 1); }

  constexpr Color withAlphaComponent(double a) const { return Color{red, green, blue, a}; }

  // "rgba(r, g, b, a)".
  std::string description() const;

  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace platform
