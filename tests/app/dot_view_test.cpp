#include "app/dot_view.h"

#include <string>
#include <vector>

#include "app/app_fonts.h"
#include "app/app_notifications.h"
#include "focus_extras_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/font.h"
#include "platform/ui/label.h"
#include "platform/testing/ui_driver.h"

namespace {

using platform::Rect;

class DotViewTest : public FocusExtrasTest {
 protected:
  void SetUp() override {
    FocusExtrasTest::SetUp();
    auto incomplete = platform::Image::named("incomplete");
    ASSERT_TRUE(incomplete);
    w = incomplete->size().width;
    h = incomplete->size().height;
  }

  static std::shared_ptr<DotView> makeRow(std::int64_t count, std::int64_t current) {
    defaults()->setInteger(count, kSessionNumberKey);
    defaults()->setInteger(current, kSessionDoneNumberKey);
    auto view = DotView::makeForLayout(Rect(0, 0, 140, 44));
    view->layoutIfNeeded();
    return view;
  }

  static std::vector<std::string> shown(const DotView& view) {
    std::vector<std::string> names;
    for (const auto& dot : view.dotImageViews()) names.push_back(dot->image() ? dot->image()->name() : "");
    return names;
  }

  static std::vector<std::string> expected(std::int64_t count, std::int64_t complete) {
    std::vector<std::string> names;
    for (std::int64_t i = 1; i <= count; ++i) names.push_back(i <= complete ? "complete" : "incomplete");
    return names;
  }

  double w = 0;
  double h = 0;
};

TEST_F(DotViewTest, EveryCountFromOneToTenLaysOutItsRowsAndBlinksTheCurrentDotAfterABreak) {
  for (std::int64_t count = 1; count <= 10; ++count) {
    SCOPED_TRACE(count);
    // The user comes back from the break before the last period of the cycle.
    const std::int64_t current = count;
    auto view = makeRow(count, current);

    ASSERT_EQ(view->dotImageViews().size(), static_cast<std::size_t>(count));
    for (std::int64_t i = 1; i <= count; ++i) {
      Rect frame = view->dotImageViews()[static_cast<std::size_t>(i - 1)]->frame();
      Rect wanted =
          i <= 5 ? Rect(w * static_cast<double>(i - 1), 0, w, h) : Rect(w * static_cast<double>(i - 6), h + 5, w, h);
      EXPECT_EQ(frame, wanted) << "dot " << i;
    }
    EXPECT_EQ(view->counterLabel()->text(), std::to_string(current) + "/" + std::to_string(count));
    EXPECT_DOUBLE_EQ(view->frame().width(), w * static_cast<double>(std::min<std::int64_t>(count, 5)));
    EXPECT_DOUBLE_EQ(view->frame().height(), 2 * h + 5 + view->counterLabel()->frame().height());

    if (count == 1) {
      EXPECT_EQ(shown(*view), expected(count, current));  // the first period never blinks
      advance(2.5);
      EXPECT_EQ(shown(*view), expected(count, current));
      continue;
    }
    EXPECT_EQ(shown(*view), expected(count, current - 1));
    advance(0.79);
    EXPECT_EQ(shown(*view), expected(count, current - 1));
    advance(0.02);
    EXPECT_EQ(shown(*view), expected(count, current));
    advance(0.7);
    EXPECT_EQ(shown(*view), expected(count, current - 1));
    advance(0.8);
    EXPECT_EQ(shown(*view), expected(count, current));
    EXPECT_EQ(view->dotImageNames(), expected(count, current));
  }
}

TEST_F(DotViewTest, OnlyARebuildWithTrueBlinks) {
  struct Case {
    const char* name;
    std::optional<bool> object;
    std::int64_t current;
    bool blinks;
  };
  const Case cases[] = {
      {"true, third of four", true, 3, true},
      {"true, first of four", true, 1, false},
      {"false", false, 3, false},
      {"no object", std::nullopt, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    defaults()->setInteger(1, kSessionDoneNumberKey);
    auto view = makeRow(4, 1);
    advance(3);
    defaults()->setInteger(c.current, kSessionDoneNumberKey);
    postAppNotification(kSessionNumberChangeNotification, c.object);
    EXPECT_EQ(shown(*view), expected(4, c.blinks ? c.current - 1 : c.current));
    EXPECT_EQ(view->counterLabel()->text(), std::to_string(c.current) + "/4");
    advance(3);
    EXPECT_EQ(shown(*view), expected(4, c.current));
  }
}

TEST_F(DotViewTest, ACurrentPeriodBeyondTheDotsStartsTheCycleOver) {
  auto view = makeRow(4, 1);
  defaults()->setInteger(2, kSessionNumberKey);
  defaults()->setInteger(4, kSessionDoneNumberKey);
  postAppNotification(kSessionNumberChangeNotification, false);
  EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 4);  // only a blinking rebuild repairs

  postAppNotification(kSessionNumberChangeNotification, true);
  EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 1);
  EXPECT_EQ(shown(*view), expected(2, 1));
  EXPECT_EQ(view->counterLabel()->text(), "1/2");
}

TEST_F(DotViewTest, AStoredCountOutsideOneToTenIsClampedWithoutRewritingTheStore) {
  struct Case {
    std::int64_t stored;
    std::size_t dots;
  };
  for (const Case c : {Case{0, 1}, Case{-3, 1}, Case{11, 10}, Case{1'000'000, 10}}) {
    SCOPED_TRACE(c.stored);
    auto view = makeRow(c.stored, 1);
    EXPECT_EQ(view->dotImageViews().size(), c.dots);
    EXPECT_EQ(defaults()->integerForKey(kSessionNumberKey), c.stored);
    EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 1);
  }
}

TEST_F(DotViewTest, ABlinkStepAfterTheRowShrankTouchesNoDot) {
  auto view = makeRow(4, 4);
  defaults()->setInteger(2, kSessionNumberKey);
  defaults()->setInteger(1, kSessionDoneNumberKey);
  postAppNotification(kSessionNumberChangeNotification, false);
  advance(3);
  EXPECT_EQ(shown(*view), expected(2, 1));

  // A row that is gone is not called either.
  auto again = makeRow(4, 4);
  again.reset();
  view.reset();
  advance(3);
  postAppNotification(kSessionNumberChangeNotification, true);
}

TEST_F(DotViewTest, TheCounterSitsBelowTheRowByTheScreenHeight) {
  struct Case {
    double height;
    double offset;
  };
  for (const Case c : {Case{667, 10}, Case{736, 15}, Case{812, 5}, Case{896, 20}, Case{568, 0}, Case{844, 0}}) {
    SCOPED_TRACE(c.height);
    platform::Screen::main().setSize({375, c.height});
    auto view = makeRow(4, 1);
    Rect label = view->counterLabel()->frame();
    EXPECT_DOUBLE_EQ(label.maxY(), view->bounds().maxY() + c.offset);
    EXPECT_DOUBLE_EQ(label.midX(), view->bounds().midX());
  }
}

TEST_F(DotViewTest, TheCounterIsDrawnWithTheShippedHandwritingFaceNotTheFallback) {
  auto focus = launch();
  auto counter = std::dynamic_pointer_cast<platform::Label>(
      platform::UIDriver::findByAccessibilityIdentifier("dotCounterLabel", focus->view()));
  ASSERT_TRUE(counter);
  const platform::Font& font = counter->font();
  EXPECT_EQ(font.fontName(), kHandwritingFontName);
  EXPECT_EQ(font.familyName(), "Breip");
  // A family the renderer cannot find is drawn with the fallback face, so with the system font's
  // widths; the shipped face has widths of its own.
  const std::string text = "1234567890/ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  EXPECT_NE(font.sizeOfText(text).width, platform::Font::systemFont(font.pointSize()).sizeOfText(text).width);
}

}  // namespace
