#include "platform/ui/text_field.h"

#include <gtest/gtest.h>

#include "platform/ui/font.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

// Refuses any text wider than a limit, measuring the whole candidate as the card's title does.
class WidthLimit : public TextFieldDelegate {
 public:
  explicit WidthLimit(double limit) : limit_(limit) {}
  bool textFieldShouldChangeCharactersInRange(TextField& field, TextRange range,
                                              const std::string& replacement) override {
    ranges.push_back(range);
    std::string candidate = field.text();
    // The test texts are ASCII apart from the emoji at the end, so units map to bytes here.
    std::size_t begin = std::min(range.location, candidate.size());
    candidate.replace(begin, std::min(range.length, candidate.size() - begin), replacement);
    return Font::systemFont(35).sizeOfText(candidate).width + 5 <= limit_;
  }
  bool textFieldShouldReturn(TextField&) override {
    ++returns;
    return true;
  }
  std::vector<TextRange> ranges;
  int returns = 0;

 private:
  double limit_;
};

using TextFieldTest = UITest;

TEST_F(TextFieldTest, EveryEditAsksTheDelegateWithItsUTF16Range) {
  auto field = std::make_shared<TextField>();
  auto delegate = std::make_shared<WidthLimit>(1e9);
  field->setDelegate(delegate);
  EXPECT_TRUE(UIDriver::typeText(*field, "ab"));
  EXPECT_TRUE(UIDriver::pasteText(*field, "😀"));
  EXPECT_EQ(field->utf16Length(), 4u);
  EXPECT_TRUE(UIDriver::typeText(*field, "c"));
  EXPECT_TRUE(UIDriver::deleteBackward(*field));
  EXPECT_TRUE(UIDriver::deleteBackward(*field));  // the emoji: two units at once
  EXPECT_EQ(field->text(), "ab");
  EXPECT_EQ(delegate->ranges, (std::vector<TextRange>{{0, 0}, {1, 0}, {2, 0}, {4, 0}, {4, 1}, {2, 2}}));
  EXPECT_FALSE(field->replaceCharactersInRange(TextRange{5, 0}, "x"));  // past the end
  EXPECT_TRUE(UIDriver::pressReturn(*field));
  EXPECT_EQ(delegate->returns, 1);
}

TEST_F(TextFieldTest, RefusedEditsLeaveTheTextAsItWas) {
  auto field = std::make_shared<TextField>();
  double limit = Font::systemFont(35).sizeOfText("abcdef").width + 5;
  auto delegate = std::make_shared<WidthLimit>(limit);
  field->setDelegate(delegate);
  EXPECT_FALSE(UIDriver::pasteText(*field, "abcdefg"));  // a paste is refused as a whole
  EXPECT_EQ(field->text(), "");
  EXPECT_FALSE(UIDriver::typeText(*field, "abcdefgh"));  // keystrokes past the limit are dropped
  EXPECT_EQ(field->text(), "abcdef");
  EXPECT_FALSE(UIDriver::deleteBackward(*std::make_shared<TextField>()));
}

TEST_F(TextFieldTest, WithoutADelegateEverythingIsTaken) {
  TextField field;
  EXPECT_TRUE(field.insertText("free"));
  EXPECT_TRUE(field.pressReturn());
  EXPECT_EQ(field.text(), "free");
}

}  // namespace
}  // namespace platform::ui_tests
