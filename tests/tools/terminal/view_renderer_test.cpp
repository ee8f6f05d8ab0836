#include "tools/terminal/view_renderer.h"

#include <gtest/gtest.h>

#include "platform/ui/button.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/text_field.h"
#include "platform/ui/window.h"

namespace terminal {
namespace {

using platform::Rect;

// Cells of 10 x 20 points over a 100 x 100 point canvas: a 10 x 5 grid, easy to reason about.
constexpr CellSize kCell{10, 20};
constexpr platform::Size kCanvas{100, 100};

std::shared_ptr<platform::Label> label(Rect frame, std::string text,
                                       platform::TextAlignment alignment = platform::TextAlignment::Left) {
  auto l = std::make_shared<platform::Label>(frame);
  l->setText(std::move(text));
  l->setTextAlignment(alignment);
  return l;
}

std::string draw(const platform::View& root, const std::vector<Tappable>& numbered = {}) {
  return renderViewTree(root, kCanvas, kCell, numbered).plainText();
}

TEST(RenderViewTree, AlignsLabelsInTheirFrame) {
  struct Case {
    platform::TextAlignment alignment;
    const char* expected;
  } cases[] = {
      {platform::TextAlignment::Left, "ab"},
      {platform::TextAlignment::Natural, "ab"},
      {platform::TextAlignment::Center, "    ab"},
      {platform::TextAlignment::Right, "        ab"},
  };
  for (const auto& c : cases) {
    auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
    root->addSubview(label(Rect(0, 20, 100, 20), "ab", c.alignment));
    auto lines = renderViewTree(*root, kCanvas, kCell);
    EXPECT_EQ(lines.plainLine(1), c.expected) << static_cast<int>(c.alignment);
  }
}

TEST(RenderViewTree, LeavesOutWhatCannotBeSeen) {
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  auto hidden = label(Rect(0, 0, 100, 20), "hidden");
  hidden->setHidden(true);
  auto transparent = label(Rect(0, 20, 100, 20), "clear");
  transparent->setAlpha(0);
  auto parent = std::make_shared<platform::View>(Rect(0, 40, 100, 20));
  parent->setHidden(true);
  parent->addSubview(label(Rect(0, 0, 100, 20), "child"));
  auto outside = label(Rect(0, 200, 100, 20), "below");
  root->addSubview(hidden);
  root->addSubview(transparent);
  root->addSubview(parent);
  root->addSubview(outside);
  root->addSubview(label(Rect(0, 80, 100, 20), "shown"));
  EXPECT_EQ(draw(*root), "\n\n\n\nshown\n");
}

TEST(RenderViewTree, OpaqueBackgroundsHideWhatLiesBeneathAndTranslucentOnesDoNot) {
  struct Case {
    double alpha;
    const char* expected;
  } cases[] = {{1.0, "\n\n\n\n"}, {0.6, "\n\n\n\n"}, {0.4, "\n\nbehind\n\n"}, {0.0, "\n\nbehind\n\n"}};
  for (const auto& c : cases) {
    auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
    root->addSubview(label(Rect(0, 40, 100, 20), "behind"));
    auto cover = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
    cover->setBackgroundColor(platform::Color::white(1, c.alpha));
    root->addSubview(cover);
    EXPECT_EQ(draw(*root), std::string(c.expected) + "\n") << c.alpha;
  }
}

TEST(RenderViewTree, ClipsSubviewsOnlyWhenTheViewClips) {
  for (bool clips : {false, true}) {
    auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
    auto box = std::make_shared<platform::View>(Rect(0, 0, 30, 20));
    box->setClipsToBounds(clips);
    box->addSubview(label(Rect(0, 0, 30, 20), "overflowing"));
    root->addSubview(box);
    EXPECT_EQ(renderViewTree(*root, kCanvas, kCell).plainLine(0), clips ? "ove" : "overflowin") << clips;
  }
}

TEST(RenderViewTree, WrapsMultilineLabelsWithinTheirRows) {
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  auto l = label(Rect(0, 0, 70, 40), "one two three four five");
  l->setNumberOfLines(0);
  root->addSubview(l);
  auto single = label(Rect(0, 60, 100, 20), "first\nsecond");
  root->addSubview(single);
  EXPECT_EQ(draw(*root), "one two\nthree…\n\nfirst…\n\n");
}

TEST(RenderViewTree, ButtonsShowTitleOrNameWithTheirNumber) {
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  auto titled = std::make_shared<platform::Button>(platform::ButtonType::System, Rect(0, 0, 100, 20));
  titled->setTitle(std::string("Cancel"), platform::kControlStateNormal);
  auto named = std::make_shared<platform::Button>(platform::ButtonType::Custom, Rect(0, 40, 60, 20));
  named->setAccessibilityIdentifier("settingButton");
  root->addSubview(titled);
  root->addSubview(named);
  std::vector<Tappable> numbered{{1, titled, "Cancel"}, {2, named, "settingButton"}};
  // A narrow button without a title spreads over the free row; its name is cut, not its number.
  EXPECT_EQ(draw(*root, numbered), "[1 Cancel]\n\n[2 setti…]\n\n\n");
}

TEST(RenderViewTree, ImageButtonsShareTheRoomBetweenThemAndHideUnderOpaqueViews) {
  platform::ImageCatalog::add("close_btn", platform::Size{20, 20});
  platform::ImageCatalog::add("play_btn", platform::Size{20, 20});
  auto root = std::make_shared<platform::View>(Rect(0, 0, 200, 100));
  auto close = std::make_shared<platform::Button>(platform::ButtonType::Custom, Rect(40, 0, 20, 20));
  close->setImage(platform::Image::named("close_btn"), platform::kControlStateNormal);
  auto play = std::make_shared<platform::Button>(platform::ButtonType::Custom, Rect(120, 0, 20, 20));
  play->setImage(platform::Image::named("play_btn"), platform::kControlStateNormal);
  auto hidden = std::make_shared<platform::Button>(platform::ButtonType::Custom, Rect(0, 40, 200, 20));
  hidden->setAccessibilityIdentifier("beneath");
  auto cover = std::make_shared<platform::View>(Rect(0, 40, 200, 20));
  cover->setBackgroundColor(platform::Color::whiteColor());
  for (auto& v : std::initializer_list<std::shared_ptr<platform::View>>{close, play, hidden, cover})
    root->addSubview(v);
  // Each keeps to its side of the middle of the gap between them; the name, not the picture's
  // "_btn", is what shows.
  auto grid = renderViewTree(*root, platform::Size{200, 100}, kCell);
  EXPECT_EQ(grid.plainText(), "  [close] [play]\n\n\n\n\n");
  platform::ImageCatalog::reset();
}

TEST(RenderViewTree, ShowsImagesByNameAndMissingImagesNotAtAll) {
  platform::ImageCatalog::add("test_picture", platform::Size{40, 60});
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  auto framed = std::make_shared<platform::ImageView>(Rect(0, 0, 60, 60));
  framed->setImage(platform::Image::named("test_picture"));
  auto missing = std::make_shared<platform::ImageView>(Rect(0, 80, 100, 20));
  missing->setImage(platform::Image::named("no_such_picture"));
  root->addSubview(framed);
  root->addSubview(missing);
  EXPECT_EQ(draw(*root), "┌─ t…┐\n│    │\n└────┘\n\n\n");
  platform::ImageCatalog::reset();
}

TEST(RenderViewTree, TinyPicturesAreMarksHollowWhenTheyMeanNotYet) {
  platform::ImageCatalog::add("complete", platform::Size{10, 10});
  platform::ImageCatalog::add("incomplete", platform::Size{10, 10});
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  for (int i = 0; i < 4; ++i) {
    auto dot = std::make_shared<platform::ImageView>(Rect(20.0 * i, 0, 10, 10));
    dot->setImage(platform::Image::named(i < 2 ? "complete" : "incomplete"));
    root->addSubview(dot);
  }
  EXPECT_EQ(renderViewTree(*root, kCanvas, kCell).plainLine(0), "● ● ○ ○");
  // Bigger dots, still too narrow to show any of their name, are marks as well.
  for (int i = 0; i < 2; ++i) {
    auto dot = std::make_shared<platform::ImageView>(Rect(50.0 * i, 40, 40, 40));
    dot->setImage(platform::Image::named(i == 0 ? "complete" : "incomplete"));
    root->addSubview(dot);
  }
  auto grid = renderViewTree(*root, kCanvas, kCell);
  EXPECT_EQ(grid.plainLine(2), "");
  EXPECT_EQ(grid.plainLine(3), " ●    ○");
  platform::ImageCatalog::reset();
}

TEST(RenderViewTree, FullScreenArtIsATagAndALaterTagReplacesAnEarlierOne) {
  platform::ImageCatalog::add("background", platform::Size{100, 100});
  platform::ImageCatalog::add("angry", platform::Size{100, 100});
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  auto back = std::make_shared<platform::ImageView>(platform::Image::named("background"));
  auto face = std::make_shared<platform::ImageView>(platform::Image::named("angry"));
  root->addSubview(back);
  root->addSubview(label(Rect(0, 40, 100, 20), "25:00", platform::TextAlignment::Center));
  EXPECT_EQ(renderViewTree(*root, kCanvas, kCell).plainLine(0), " ‹backgrou");
  root->addSubview(face);
  auto grid = renderViewTree(*root, kCanvas, kCell);
  EXPECT_EQ(grid.plainLine(0), " ‹angry›");
  EXPECT_EQ(grid.plainLine(2), "  25:00");
  platform::ImageCatalog::reset();
}

TEST(RenderViewTree, TextFieldsShowTheirEndOrTheirPlaceholder) {
  auto root = std::make_shared<platform::View>(Rect(0, 0, 100, 100));
  auto empty = std::make_shared<platform::TextField>(Rect(0, 0, 100, 20));
  empty->setPlaceholder("Title");
  auto full = std::make_shared<platform::TextField>(Rect(0, 40, 60, 20));
  full->setText("a long title");
  root->addSubview(empty);
  root->addSubview(full);
  EXPECT_EQ(draw(*root), "[Title   ]\n\n[itle]\n\n\n");
}

class TappableControls : public ::testing::Test {
 protected:
  void SetUp() override { window_ = std::make_shared<platform::Window>(Rect(0, 0, 100, 100)); }

  std::shared_ptr<platform::Button> button(Rect frame, std::string identifier) {
    auto b = std::make_shared<platform::Button>(platform::ButtonType::Custom, frame);
    b->setAccessibilityIdentifier(std::move(identifier));
    window_->addSubview(b);
    return b;
  }

  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& t : tappableControls(window_)) out.push_back(std::to_string(t.number) + " " + t.name);
    return out;
  }

  std::shared_ptr<platform::Window> window_;
};

TEST_F(TappableControls, NumbersReachableControlsInReadingOrder) {
  button(Rect(60, 60, 30, 20), "bottomRight");
  button(Rect(0, 60, 30, 20), "bottomLeft");
  button(Rect(40, 0, 30, 20), "top");
  EXPECT_EQ(names(), (std::vector<std::string>{"1 top", "2 bottomLeft", "3 bottomRight"}));
}

TEST_F(TappableControls, LeavesOutControlsATapCannotReach) {
  button(Rect(0, 0, 30, 20), "disabled")->setEnabled(false);
  button(Rect(0, 30, 30, 20), "hidden")->setHidden(true);
  button(Rect(0, 60, 30, 20), "covered");
  auto cover = std::make_shared<platform::View>(Rect(0, 50, 100, 50));
  window_->addSubview(cover);
  button(Rect(200, 0, 30, 20), "offScreen");
  EXPECT_TRUE(names().empty());
}

TEST_F(TappableControls, ViewsThatDrawNoTextWearTheirNumber) {
  auto control = std::make_shared<platform::Control>(Rect(0, 0, 50, 60));
  window_->addSubview(control);
  auto numbered = tappableControls(window_);
  ASSERT_EQ(numbered.size(), 1u);
  EXPECT_EQ(renderViewTree(*window_, kCanvas, kCell, numbered).plainLine(1), " [1]");
}

TEST_F(TappableControls, IncludesViewsWithATapRecognizer) {
  auto picture = std::make_shared<platform::ImageView>(Rect(0, 0, 50, 50));
  picture->setAccessibilityIdentifier("picture");
  picture->setUserInteractionEnabled(true);
  picture->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>(nullptr, [](auto&) {}));
  window_->addSubview(picture);
  auto plain = std::make_shared<platform::View>(Rect(50, 0, 50, 50));
  window_->addSubview(plain);
  EXPECT_EQ(names(), (std::vector<std::string>{"1 picture"}));
}

}  // namespace
}  // namespace terminal
