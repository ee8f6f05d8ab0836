// A read-only text. Labels take no touches unless told to.
#pragma once

#include <string>

#include "platform/ui/font.h"
#include "platform/ui/view.h"

namespace platform {

enum class TextAlignment { Left = 0, Center = 1, Right = 2, Justified = 3, Natural = 4 };

class Label : public View {
 public:
  Label();
  explicit Label(Rect frame);
  std::string_view className() const override { return "Label"; }

  const std::string& text() const { return text_; }
  void setText(std::string text);
  const Font& font() const { return font_; }
  void setFont(Font font);
  Color textColor() const { return textColor_; }
  void setTextColor(Color color);
  TextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }
  // 0 means as many lines as the text needs.
  int numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(int lines) { numberOfLines_ = lines; }

  Size intrinsicContentSize() const override;
  Size sizeThatFits(Size size) const override;

 private:
  std::string text_;
  Font font_;
  Color textColor_ = Color::blackColor();
  TextAlignment alignment_ = TextAlignment::Natural;
  int numberOfLines_ = 1;
};

}  // namespace platform
