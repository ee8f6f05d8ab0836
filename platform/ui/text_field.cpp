#include "platform/ui/text_field.h"

#include <optional>

namespace platform {

namespace {

// Length in bytes of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The byte offset of a UTF-16 offset; none when it lies past the end or inside a surrogate pair.
std::optional<std::size_t> byteOffset(const std::string& s, std::size_t utf16) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (units < utf16) {
    if (i >= s.size()) return std::nullopt;
    std::size_t len = sequenceLength(static_cast<unsigned char>(s[i]));
    units += len == 4 ? 2 : 1;
    i += len;
  }
  if (units != utf16 || i > s.size()) return std::nullopt;
  return i;
}

std::size_t utf16Count(const std::string& s) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len = sequenceLength(static_cast<unsigned char>(s[i]));
    units += len == 4 ? 2 : 1;
    i += len;
  }
  return units;
}

}  // namespace

TextField::TextField() = default;
TextField::TextField(Rect frame) : Control(frame) {}

void TextField::setText(std::string text) { text_ = std::move(text); }

std::size_t TextField::utf16Length() const { return utf16Count(text_); }

bool TextField::replaceCharactersInRange(TextRange range, const std::string& replacement) {
  auto begin = byteOffset(text_, range.location);
  auto end = byteOffset(text_, range.location + range.length);
  if (!begin || !end) return false;
  // The delegate may release the field's last other owner.
  auto keep = weak_from_this().lock();
  if (auto d = delegate(); d && !d->textFieldShouldChangeCharactersInRange(*this, range, replacement)) return false;
  text_.replace(*begin, *end - *begin, replacement);
  sendActionsForControlEvents(kControlEventEditingChanged);
  return true;
}

bool TextField::insertText(const std::string& text) {
  return replaceCharactersInRange(TextRange{utf16Length(), 0}, text);
}

bool TextField::deleteBackward() {
  if (text_.empty()) return false;
  // The last character: step back over continuation bytes to its lead byte.
  std::size_t start = text_.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text_[start]) & 0xC0) == 0x80) --start;
  std::size_t units = utf16Count(text_.substr(start));
  return replaceCharactersInRange(TextRange{utf16Length() - units, units}, "");
}

bool TextField::pressReturn() {
  auto keep = weak_from_this().lock();
  bool answer = true;
  if (auto d = delegate()) answer = d->textFieldShouldReturn(*this);
  if (answer) sendActionsForControlEvents(kControlEventEditingDidEndOnExit);
  return answer;
}

}  // namespace platform
