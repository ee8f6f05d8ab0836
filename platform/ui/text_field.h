// One line of editable text. Every edit (typing, pasting, deleting) asks the delegate first with
// the range it replaces, counted in UTF-16 units as the platform counts them; an empty field has
// the text "".
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/ui/control.h"
#include "platform/ui/font.h"
#include "platform/ui/label.h"

namespace platform {

class TextField;

// A range of UTF-16 units.
struct TextRange {
  std::size_t location = 0;
  std::size_t length = 0;
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

// Only the kinds the app asks for; the numbers are the platform's.
enum class ReturnKeyType { Default = 0, Done = 9 };
enum class TextAutocapitalizationType { None = 0, Words = 1, Sentences = 2, AllCharacters = 3 };

class TextFieldDelegate {
 public:
  virtual ~TextFieldDelegate() = default;
  virtual bool textFieldShouldChangeCharactersInRange(TextField& /*textField*/, TextRange /*range*/,
                                                      const std::string& /*replacement*/) {
    return true;
  }
  virtual bool textFieldShouldReturn(TextField& /*textField*/) { return true; }
  virtual void textFieldDidBeginEditing(TextField& /*textField*/) {}
  virtual void textFieldDidEndEditing(TextField& /*textField*/) {}
};

class TextField : public Control {
 public:
  TextField();
  explicit TextField(Rect frame);
  std::string_view className() const override { return "TextField"; }

  const std::string& text() const { return text_; }
  // Sets the text directly, without asking the delegate.
  void setText(std::string text);
  const std::string& placeholder() const { return placeholder_; }
  void setPlaceholder(std::string placeholder) { placeholder_ = std::move(placeholder); }
  const Font& font() const { return font_; }
  void setFont(Font font) { font_ = std::move(font); }
  Color textColor() const { return textColor_; }
  void setTextColor(Color color) { textColor_ = color; }
  TextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }
  ReturnKeyType returnKeyType() const { return returnKeyType_; }
  void setReturnKeyType(ReturnKeyType type) { returnKeyType_ = type; }
  TextAutocapitalizationType autocapitalizationType() const { return autocapitalization_; }
  void setAutocapitalizationType(TextAutocapitalizationType type) { autocapitalization_ = type; }

  std::shared_ptr<TextFieldDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<TextFieldDelegate> delegate) { delegate_ = std::move(delegate); }

  // The field's length in UTF-16 units.
  std::size_t utf16Length() const;

  // What the keyboard does. Each asks the delegate and returns whether the edit was applied; a
  // range outside the text is refused.
  bool replaceCharactersInRange(TextRange range, const std::string& replacement);
  bool insertText(const std::string& text);  // at the end
  bool deleteBackward();                     // the last character
  // The return key: asks textFieldShouldReturn and returns its answer.
  bool pressReturn();

 private:
  std::string text_;
  std::string placeholder_;
  Font font_;
  Color textColor_ = Color::blackColor();
  TextAlignment alignment_ = TextAlignment::Natural;
  ReturnKeyType returnKeyType_ = ReturnKeyType::Default;
  TextAutocapitalizationType autocapitalization_ = TextAutocapitalizationType::Sentences;
  std::weak_ptr<TextFieldDelegate> delegate_;
};

}  // namespace platform
