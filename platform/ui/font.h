// Fonts by name and size. The system font is drawn with DejaVu Sans; an app font is a name
// registered with the family that draws it; any other name falls back to the system font, as a
// label given a missing font shows the system font. Text is measured with the real font's
// metrics, so what fits on screen here fits in the drawn card too.
#pragma once

#include <string>
#include <string_view>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"

namespace platform {

enum class FontWeight { UltraLight, Thin, Light, Regular, Medium, Semibold, Bold, Heavy, Black };

class Font {
 public:
  // The system font's name as fonts report it.
  static constexpr std::string_view kSystemFontName = ".SystemFont";

  static Font systemFont(double pointSize, FontWeight weight = FontWeight::Regular);
  static Font boldSystemFont(double pointSize) { return systemFont(pointSize, FontWeight::Bold); }
  // The font of that name, or the system font of that size when no such font is installed.
  static Font named(std::string_view name, double pointSize);
  // Whether `named` would find the font rather than fall back.
  static bool isInstalled(std::string_view name);
  // Installs an app font: `name` is drawn with the fontconfig family `family` ("DejaVu Serif").
  static void registerFont(std::string name, std::string family, FontWeight weight = FontWeight::Regular);

  // The default font of labels and text fields.
  Font() : Font(systemFont(17)) {}

  const std::string& fontName() const { return name_; }
  const std::string& familyName() const { return family_; }
  double pointSize() const { return size_; }
  FontWeight weight() const { return weight_; }
  Font withSize(double pointSize) const;

  // Metrics in points.
  double ascender() const;
  double descender() const;  // negative: below the baseline
  double lineHeight() const;
  // One line per "\n"; the width is the widest line's advance, the height the lines' heights.
  Size sizeOfText(std::string_view text) const;

  std::string description() const;
  friend bool operator==(const Font&, const Font&) = default;

 private:
  Font(std::string name, std::string family, double size, FontWeight weight)
      : name_(std::move(name)), family_(std::move(family)), size_(size), weight_(weight) {}
  std::string name_;
  std::string family_;
  double size_ = 17;
  FontWeight weight_ = FontWeight::Regular;
};

// What text is drawn and measured with.
struct TextAttributes {
  Font font;
  Color foregroundColor = Color::blackColor();
};

}  // namespace platform
