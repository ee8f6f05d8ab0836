#include "platform/ui/button.h"

#include <algorithm>

#include "platform/ui/image.h"

namespace platform {

namespace {

template <class Map>
auto lookup(const Map& map, unsigned state) -> const typename Map::mapped_type* {
  if (auto it = map.find(state); it != map.end()) return &it->second;
  if (auto it = map.find(kControlStateNormal); it != map.end()) return &it->second;
  return nullptr;
}

}  // namespace

std::shared_ptr<Button> Button::buttonWithType(ButtonType type) { return std::make_shared<Button>(type); }

Button::Button(ButtonType type) : type_(type) {}
Button::Button(ButtonType type, Rect frame) : Control(frame), type_(type) {}

void Button::setTitle(std::optional<std::string> title, unsigned state) {
  if (title)
    titles_[state] = std::move(*title);
  else
    titles_.erase(state);
  setNeedsLayout();
}

std::optional<std::string> Button::titleForState(unsigned state) const {
  if (const auto* t = lookup(titles_, state)) return *t;
  return std::nullopt;
}

void Button::setTitleColor(std::optional<Color> color, unsigned state) {
  if (color)
    titleColors_[state] = *color;
  else
    titleColors_.erase(state);
}

Color Button::titleColorForState(unsigned state) const {
  if (const auto* c = lookup(titleColors_, state)) return *c;
  return type_ == ButtonType::System ? Color::systemBlueColor() : Color::whiteColor();
}

void Button::setImage(std::shared_ptr<Image> image, unsigned state) {
  if (image)
    images_[state] = std::move(image);
  else
    images_.erase(state);
  setNeedsLayout();
}

std::shared_ptr<Image> Button::imageForState(unsigned state) const {
  if (const auto* i = lookup(images_, state)) return *i;
  return nullptr;
}

Size Button::intrinsicContentSize() const {
  Size size;
  if (auto image = currentImage()) size = image->size();
  if (auto title = currentTitle(); title && !title->empty()) {
    Size text = titleFont_.sizeOfText(*title);
    size.width += text.width;
    size.height = std::max(size.height, text.height);
  }
  return size;
}

Size Button::sizeThatFits(Size) const { return intrinsicContentSize(); }

}  // namespace platform
