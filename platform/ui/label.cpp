#include "platform/ui/label.h"

#include <algorithm>

namespace platform {

Label::Label() { setUserInteractionEnabled(false); }
Label::Label(Rect frame) : View(frame) { setUserInteractionEnabled(false); }

void Label::setText(std::string text) {
  text_ = std::move(text);
  setNeedsLayout();
}

void Label::setFont(Font font) {
  font_ = std::move(font);
  setNeedsLayout();
}

void Label::setTextColor(Color color) { textColor_ = color; }

Size Label::intrinsicContentSize() const {
  if (numberOfLines_ == 1) {
    std::string oneLine = text_;
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    return font_.sizeOfText(oneLine);
  }
  return font_.sizeOfText(text_);
}

Size Label::sizeThatFits(Size) const { return intrinsicContentSize(); }

}  // namespace platform
