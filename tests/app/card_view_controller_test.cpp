#include <cairo.h>

#include <set>

#include "app/alert_center.h"
#include "app/break_view_controller.h"
#include "app/card_view_controller.h"
#include "focus_app_fixture.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/font.h"
#include "platform/ui/image_bitmap.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/text_field.h"

namespace {

using platform::Value;

class CardTest : public FocusAppTest {
 protected:
  // A one-minute period run down on the play button, then the card in front.
  std::shared_ptr<CardViewController> reachCard(Launch options = Launch()) {
    options.onDevice("iPad").with(kFocusTimeKey, 1);
    auto focus = launch(options);
    platform::UIDriver::tap(*focus->startButton());
    settle();
    advance(60 + platform::ViewController::kTransitionDuration);
    return topScreen<CardViewController>();
  }
  // A card made alone, as the storyboard makes it.
  static std::shared_ptr<CardViewController> loneCard(std::int64_t done = 1, std::int64_t minutes = 25) {
    auto card = std::make_shared<CardViewController>();
    card->setSessionDoneNumer(done);
    card->setSessionTime(minutes);
    card->view();
    return card;
  }
  void tap(const std::shared_ptr<platform::Button>& button) {
    ASSERT_TRUE(button);
    ASSERT_TRUE(platform::UIDriver::tap(*button));
    settle();
  }
};

TEST_F(CardTest, ShowsThePeriodItsLengthAndTodaysTotal) {
  const std::pair<int, std::string_view> totals[] = {{0, "Today 0min"},   {25, "Today 25min"},  {59, "Today 59min"},
                                                     {60, "Today 1h 0m"}, {75, "Today 1h 15m"}, {120, "Today 2h 0m"},
                                                     {125, "Today 2h 5m"}};
  defaults()->setInteger(4, kSessionNumberKey);
  for (const auto& [minutes, text] : totals) {
    defaults()->setInteger(minutes, kTodayFocusTotalTimeKey);
    auto card = loneCard(2, 25);
    EXPECT_EQ(card->totalTimeLabel()->text(), text);
    EXPECT_EQ(card->sessionLabel()->text(), "2/4");
    EXPECT_EQ(card->sessionTimeLabel()->text(), "25min");
    EXPECT_EQ(card->timeLabel()->text(), "25min");
  }
}

TEST_F(CardTest, DrawsOneOfTheHundredAndTwentySixIllustrations) {
  EXPECT_EQ(CardViewController::cardImageName(0), "card_01");
  EXPECT_EQ(CardViewController::cardImageName(8), "card_09");
  EXPECT_EQ(CardViewController::cardImageName(125), "card_126");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    auto card = loneCard();
    auto image = card->cardImageView()->image();
    ASSERT_TRUE(image) << "every illustration is in the catalogue";
    seen.insert(image->name());
  }
  EXPECT_GT(seen.size(), 50u) << "the draw is spread over the table";
}

TEST_F(CardTest, TitleWidthIsLimitedByTheScreenAlsoForAnEmptyField) {
  // Texts chosen by measuring with the same font the field is measured with.
  platform::Font font = platform::Font::systemFont(35);
  auto textWider = [&](double width) {
    std::string text;
    while (font.sizeOfText(text).width + 5 <= width) text += "m";
    return text;
  };
  const std::string fitsSmall = textWider(120);
  const std::string between = textWider(200);  // over 180, under 240
  ASSERT_LE(font.sizeOfText(between).width + 5, 240);
  const std::string tooWide = textWider(300);

  struct Case {
    double height;
    const std::string* paste;
    bool accepted;
  };
  const Case cases[] = {
      {568, &fitsSmall, true},  {568, &between, false}, {667, &between, true},
      {667, &tooWide, false},   {812, &between, true},  {812, &tooWide, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.height << " " << *c.paste);
    platform::Screen::main().setSize({375, c.height});
    auto card = loneCard();
    platform::TextField field;
    field.setDelegate(std::weak_ptr<platform::TextFieldDelegate>(card));
    EXPECT_EQ(platform::UIDriver::pasteText(field, *c.paste), c.accepted) << "pasted into an empty field";
    EXPECT_EQ(field.text(), c.accepted ? *c.paste : "");
  }
}

TEST_F(CardTest, TheWholeCandidateIsMeasuredForDeletionsAndOutOfRangeEditsAreRefused) {
  auto card = loneCard();
  platform::TextField field;
  field.setText(std::string(40, 'm'));  // already too wide, set without asking
  field.setDelegate(std::weak_ptr<platform::TextFieldDelegate>(card));
  EXPECT_FALSE(platform::UIDriver::deleteBackward(field)) << "still too wide after the deletion";
  EXPECT_TRUE(field.replaceCharactersInRange({0, 38}, "")) << "short enough once most is gone";
  EXPECT_EQ(field.text(), "mm");
  EXPECT_FALSE(card->textFieldShouldChangeCharactersInRange(field, {1, 5}, "x"));
  EXPECT_TRUE(card->textFieldShouldChangeCharactersInRange(field, {2, 0}, "한글"));
}

TEST_F(CardTest, TitleAppliesTrimmedAndOnlyOkDecidesWhetherItIsDrawn) {
  auto card = reachCard();
  ASSERT_TRUE(card);
  struct Step {
    const char* typed;
    bool confirmWithOk;
    std::string label;
    bool titleOn;
    const char* buttonImage;
  };
  const Step steps[] = {
      {"  Deep work \n", true, "Deep work", true, "title_btn_true"},
      {" \n ", true, "", false, "title_btn_false"},
      {"Essay", false, "Essay", false, "title_btn_true"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.typed);
    tap(card->titleButton());
    advance(platform::ViewController::kTransitionDuration);
    auto alert = platform::UIDriver::presentedAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->alertTitle(), "Give this session a title");
    ASSERT_EQ(alert->textFields().size(), 1u);
    auto& field = *alert->textFields().front();
    EXPECT_EQ(field.returnKeyType(), platform::ReturnKeyType::Done);
    field.setText(s.typed);
    if (s.confirmWithOk) {
      ASSERT_TRUE(platform::UIDriver::chooseAlertAction("OK"));
      advance(platform::ViewController::kTransitionDuration);
    } else {
      EXPECT_TRUE(platform::UIDriver::pressReturn(field));
      EXPECT_EQ(topScreen(), alert) << "the return key leaves the alert open";
      ASSERT_TRUE(platform::UIDriver::chooseAlertAction("Cancel"));
      advance(platform::ViewController::kTransitionDuration);
    }
    EXPECT_EQ(card->titleLabel()->text(), s.label);
    EXPECT_EQ(card->titleText(), s.label);
    EXPECT_EQ(card->isTitleOn(), s.titleOn);
    EXPECT_EQ(card->titleButton()->currentImage()->name(), s.buttonImage);
  }
}

TEST_F(CardTest, TimeButtonCyclesOffOneLineTwoLinesOff) {
  auto card = reachCard();
  ASSERT_TRUE(card);
  struct State {
    bool time1, time2, timeLabelShown, timeViewShown;
    const char* image;
  };
  const State cycle[] = {{true, false, true, false, "time_btn_true"},
                         {false, true, false, true, "time_btn_true_today"},
                         {false, false, false, false, "time_btn_false"}};
  for (const auto& expected : cycle) {
    tap(card->timeButton());
    EXPECT_EQ(card->isTime1On(), expected.time1);
    EXPECT_EQ(card->isTime2On(), expected.time2);
    EXPECT_EQ(!card->timeLabel()->isHidden(), expected.timeLabelShown);
    EXPECT_EQ(!card->timeView()->isHidden(), expected.timeViewShown);
    EXPECT_EQ(card->timeButton()->currentImage()->name(), expected.image);
  }
}

// The pixels of a rendered card in a rectangle, to see whether anything was drawn there.
std::vector<std::uint32_t> pixels(const platform::Image& image, int x0, int y0, int x1, int y1) {
  cairo_surface_t* s = image.bitmap()->surface;
  cairo_surface_flush(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  std::vector<std::uint32_t> out;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) out.push_back(*reinterpret_cast<const std::uint32_t*>(data + y * stride + x * 4));
  }
  return out;
}

TEST_F(CardTest, RenderedCardIsAThousandByFourteenSixtyFivePngWithTheChosenTexts) {
  auto card = reachCard();
  ASSERT_TRUE(card);
  auto plain = card->renderCardImage();
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->size(), (platform::Size{1000, 1465}));
  auto decoded = platform::Image::fromPNGData(plain->pngData());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), (platform::Size{1000, 1465}));

  // The title region of the card: untouched without a title, drawn on with one.
  auto before = pixels(*plain, 220, 1327, 700, 1370);
  tap(card->titleButton());
  advance(platform::ViewController::kTransitionDuration);
  platform::UIDriver::presentedAlert()->textFields().front()->setText("Deep work");
  platform::UIDriver::chooseAlertAction("OK");
  advance(platform::ViewController::kTransitionDuration);
  EXPECT_NE(pixels(*card->renderCardImage(), 220, 1327, 700, 1370), before);

  // Two lines without a title start at x = 220: the region left of 220 stays as the art.
  tap(card->timeButton());
  tap(card->timeButton());
  ASSERT_TRUE(card->isTime2On());
  auto withTitle = card->renderCardImage();
  tap(card->titleButton());
  advance(platform::ViewController::kTransitionDuration);
  platform::UIDriver::presentedAlert()->textFields().front()->setText("");
  platform::UIDriver::chooseAlertAction("OK");
  advance(platform::ViewController::kTransitionDuration);
  auto withoutTitle = card->renderCardImage();
  EXPECT_NE(pixels(*withTitle, 220, 1310, 400, 1400), pixels(*withoutTitle, 220, 1310, 400, 1400));
  EXPECT_EQ(pixels(*withoutTitle, 0, 1310, 219, 1400), pixels(*plain, 0, 1310, 219, 1400));
}

TEST_F(CardTest, TheLastPeriodLeadsToTheLongBreakAndAnyOtherToTheShortOne) {
  struct Case {
    const char* name;
    std::int64_t sessions, done;
    std::int64_t breakMinutes, longBreakMinutes;
    std::int64_t expectedSeconds;
    std::int64_t expectedDoneSession;
  };
  const Case cases[] = {
      {"second of four", 4, 2, 5, 20, 300, 2},
      {"fourth of four", 4, 4, 5, 20, 1200, 1},
      {"third of three", 3, 3, 5, 15, 900, 1},
      {"count lowered meanwhile", 2, 3, 7, 20, 420, 3},
      {"tampered short break", 4, 1, 0, 20, 60, 1},
      {"tampered long break", 1, 1, 5, -3, 60, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto card = reachCard(Launch()
                              .with(kSessionNumberKey, 10)
                              .with(kSessionDoneNumberKey, c.done)
                              .with(kBreakTimeKey, c.breakMinutes)
                              .with(kLongBreakTimeKey, c.longBreakMinutes));
    ASSERT_TRUE(card);
    ASSERT_EQ(card->sessionDoneNumer(), c.done);
    defaults()->setInteger(c.sessions, kSessionNumberKey);
    tap(card->startBreakButton());
    auto pause = topScreen<BreakViewController>();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->breakTime(), c.expectedSeconds);
    EXPECT_EQ(pause->doneSession(), c.expectedDoneSession);
    EXPECT_DOUBLE_EQ(AlertCenter::shared()->breakTimeInterval(), c.expectedSeconds / 60.0);
    app_.reset();
    resetWorld();
  }
}

TEST_F(CardTest, TallPhonesReplaceTwoConstraintsAndNarrowOnesGetSmallFonts) {
  struct Case {
    double width, height;
    bool replaced;
    double titleFont;
  };
  const Case cases[] = {{414, 896, true, 15}, {375, 812, true, 15}, {320, 568, false, 11}, {375, 667, false, 15}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.height);
    platform::Screen::main().setSize({c.width, c.height});
    auto card = loneCard();
    auto root = card->view();
    bool heightIsSixTenths = false;
    for (const auto& constraint : root->constraints()) {
      if (constraint->firstItem() == card->cardImageView() &&
          constraint->firstAttribute() == platform::LayoutAttribute::Height) {
        heightIsSixTenths = constraint->multiplier() == 0.6;
      }
    }
    EXPECT_EQ(heightIsSixTenths, c.replaced);
    EXPECT_EQ(card->titleLabel()->font().pointSize(), c.titleFont);
    EXPECT_EQ(card->totalTimeLabel()->font().pointSize(), c.titleFont == 11 ? 9 : 12);
  }
}

}  // namespace
