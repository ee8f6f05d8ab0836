// Buttons with a title, a title colour and an image per control state. A state without its own
// value shows the normal state's.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/control.h"
#include "platform/ui/font.h"

namespace platform {

class Image;

enum class ButtonType { Custom = 0, System = 1 };

class Button : public Control {
 public:
  static std::shared_ptr<Button> buttonWithType(ButtonType type);
  explicit Button(ButtonType type = ButtonType::Custom);
  Button(ButtonType type, Rect frame);
  std::string_view className() const override { return "Button"; }

  ButtonType buttonType() const { return type_; }

  void setTitle(std::optional<std::string> title, unsigned state);
  std::optional<std::string> titleForState(unsigned state) const;
  void setTitleColor(std::optional<Color> color, unsigned state);
  Color titleColorForState(unsigned state) const;
  void setImage(std::shared_ptr<Image> image, unsigned state);
  std::shared_ptr<Image> imageForState(unsigned state) const;

  // What the button shows in its current state.
  std::optional<std::string> currentTitle() const { return titleForState(state()); }
  Color currentTitleColor() const { return titleColorForState(state()); }
  std::shared_ptr<Image> currentImage() const { return imageForState(state()); }

  const Font& titleFont() const { return titleFont_; }
  void setTitleFont(Font font) { titleFont_ = std::move(font); }

  Size intrinsicContentSize() const override;
  Size sizeThatFits(Size size) const override;

 private:
  ButtonType type_;
  std::map<unsigned, std::string> titles_;
  std::map<unsigned, Color> titleColors_;
  std::map<unsigned, std::shared_ptr<Image>> images_;
  Font titleFont_ = Font::systemFont(15);
};

}  // namespace platform
