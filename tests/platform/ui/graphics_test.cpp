#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/foundation/home.h"
#include "platform/ui/font.h"
#include "platform/ui/graphics_context.h"
#include "platform/ui/image.h"
#include "platform/ui/image_bitmap.h"
#include "platform/ui/image_view.h"
#include "platform/ui/png_text.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

class GraphicsTest : public UITest {
 protected:
  void TearDown() override {
    UITest::TearDown();
    ImageCatalog::reset();
  }
};

// The colour of one pixel of an image, as 0-255 components.
struct Pixel {
  int r, g, b, a;
};
Pixel pixelAt(const Image& image, int x, int y) {
  auto bitmap = image.bitmap();
  cairo_surface_flush(bitmap->surface);
  const unsigned char* data = cairo_image_surface_get_data(bitmap->surface);
  int stride = cairo_image_surface_get_stride(bitmap->surface);
  std::uint32_t argb;
  std::memcpy(&argb, data + y * stride + x * 4, 4);
  return Pixel{static_cast<int>((argb >> 16) & 0xFF), static_cast<int>((argb >> 8) & 0xFF),
               static_cast<int>(argb & 0xFF), static_cast<int>(argb >> 24)};
}

TEST_F(GraphicsTest, TextWidthGrowsWithTheTextAndWithTheSize) {
  Font font = Font::systemFont(35);
  const char* texts[] = {"", "a", "ab", "ab ", "ab c", "ab cd", "ab cdé", "ab cdé한"};
  double last = -1;
  for (const char* t : texts) {
    SCOPED_TRACE(t);
    double width = font.sizeOfText(t).width;
    EXPECT_GT(width, last);
    last = width;
  }
  EXPECT_GT(font.sizeOfText("Focus").width, Font::systemFont(32).sizeOfText("Focus").width);
  EXPECT_GT(Font::boldSystemFont(35).sizeOfText("Focus").width, font.sizeOfText("Focus").width);
  // Real metrics: a wide letter is wider than a narrow one.
  EXPECT_GT(font.sizeOfText("WWWW").width, font.sizeOfText("iiii").width * 2);
  // Lines stack.
  EXPECT_NEAR(font.sizeOfText("a\nb").height, 2 * font.lineHeight(), 1e-9);
}

TEST_F(GraphicsTest, MalformedTextNeitherFailsNorBreaksLaterDrawing) {
  // A text field's candidate can cut a character in half; measuring it must not poison the font.
  Font font = Font::systemFont(35);
  double before = font.sizeOfText("abc").width;
  const std::string malformed[] = {std::string("ab\xF0\x9F"), std::string("\xC0\xAF"), std::string("a\0b", 3),
                                   std::string("\xED\xA0\x80"), std::string("\xFF")};
  for (const auto& bad : malformed) {
    SCOPED_TRACE(bad.size());
    EXPECT_GT(font.sizeOfText(bad).width, 0);
    ImageContext context(Size{40, 40});
    context.drawText(bad, Rect(0, 0, 40, 40), TextAttributes{font, Color::blackColor()});
    context.fillRect(Rect(30, 30, 10, 10), Color::redColor());
    EXPECT_EQ(pixelAt(*context.image(), 35, 35).r, 255);
  }
  EXPECT_EQ(font.sizeOfText("abc").width, before);
}

TEST_F(GraphicsTest, MissingFontFallsBackToTheSystemFont) {
  Font missing = Font::named("SoulMarker_Handwriting_Font", 50);
  EXPECT_FALSE(Font::isInstalled("SoulMarker_Handwriting_Font"));
  EXPECT_EQ(missing, Font::systemFont(50));
  Font::registerFont("Test_Serif_Font", "DejaVu Serif");
  Font serif = Font::named("Test_Serif_Font", 50);
  EXPECT_EQ(serif.fontName(), "Test_Serif_Font");
  EXPECT_NE(serif.sizeOfText("Focus time").width, missing.sizeOfText("Focus time").width);
}

TEST_F(GraphicsTest, DrawnCardIsAPNGThatReadsBack) {
  auto folder = Home::temporary() / "art";
  std::filesystem::create_directories(folder);
  // Art with a file: a small red PNG made here; art without one draws as a placeholder.
  {
    ImageContext art(Size{10, 10});
    art.fillRect(Rect(0, 0, 10, 10), Color::redColor());
    auto png = art.image()->pngData();
    std::ofstream(folder / "red.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }
  {
    std::ofstream manifest(folder / "ImageManifest.json");
    manifest << R"({"card_01": {"width": 1000, "height": 1465, "file": "red.png"},
                    "incomplete": {"width": 16, "height": 16},
                    "broken": {"width": "wide"}})";
  }
  ASSERT_TRUE(ImageCatalog::load(folder / "ImageManifest.json"));
  auto card = Image::named("card_01");
  ASSERT_TRUE(card);
  EXPECT_EQ(card->size(), (Size{1000, 1465}));
  EXPECT_EQ(Image::named("card_01"), card);
  EXPECT_EQ(Image::named("broken"), nullptr);
  EXPECT_EQ(Image::named("no_such_image"), nullptr);
  EXPECT_EQ(Image::named("incomplete")->size(), (Size{16, 16}));

  beginImageContext(Size{1000, 1465});
  drawImageInRect(*card, Rect(0, 0, 1000, 1465));
  TextAttributes a{Font::systemFont(32), Color::blackColor().withAlphaComponent(0.9)};
  drawTextInRect("Reading  25min", Rect(220, 1327, 900, 100), a);
  fillRect(Rect(0, 0, 5, 5), Color::blackColor());
  auto image = imageFromCurrentImageContext();
  endImageContext();
  EXPECT_EQ(currentImageContext(), nullptr);
  ASSERT_TRUE(image);

  auto png = image->pngData();
  ASSERT_GT(png.size(), 8u);
  auto decoded = Image::fromPNGData(png);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), (Size{1000, 1465}));
  Pixel red = pixelAt(*decoded, 500, 500);
  EXPECT_EQ(red.r, 255);
  EXPECT_EQ(red.g, 0);
  Pixel black = pixelAt(*decoded, 2, 2);
  EXPECT_EQ(black.r, 0);
  EXPECT_EQ(black.a, 255);
  // The text left dark pixels in its line and none below the rectangle it was drawn in.
  bool dark = false;
  for (int x = 220; x < 500 && !dark; ++x) {
    for (int y = 1327; y < 1380 && !dark; ++y) dark = pixelAt(*decoded, x, y).r < 128;
  }
  EXPECT_TRUE(dark);
  EXPECT_EQ(Image::fromPNGData(Data{1, 2, 3}), nullptr);
}

TEST_F(GraphicsTest, ImageViewWithAMissingImageIsEmpty) {
  ImageView view(Image::named("no_such_image"));
  EXPECT_EQ(view.image(), nullptr);
  EXPECT_EQ(view.frame(), Rect());
}

TEST_F(GraphicsTest, DrawingWithoutAContextDoesNothing) {
  EXPECT_EQ(imageFromCurrentImageContext(), nullptr);
  fillRect(Rect(0, 0, 1, 1), Color::redColor());
  endImageContext();
  ImageContext empty(Size{0, 10});
  EXPECT_FALSE(empty.isValid());
  EXPECT_EQ(empty.image(), nullptr);
}

}  // namespace
}  // namespace platform::ui_tests

namespace platform::ui_tests {
namespace {

TEST_F(GraphicsTest, DrawnTextsTravelWithThePngAndBadChunksAreSkipped) {
  ImageContext context(Size{20, 10}, 1);
  const TextAttributes a{Font::systemFont(8), Color::blackColor()};
  context.drawText("Deep work  25min", Rect(0, 0, 20, 10), a);
  context.drawText("오늘 25min", Rect(0, 0, 20, 10), a);
  const Data png = context.image()->pngData();
  ASSERT_EQ(PNGText::texts(png), (std::vector<std::string>{"Deep work  25min", "오늘 25min"}));
  // The chunks do not keep the image from decoding.
  ASSERT_TRUE(Image::fromPNGData(png));

  // The first text chunk starts right after the header chunk.
  constexpr std::size_t kFirstChunk = 8 + 25;
  struct Case {
    const char* what;
    std::function<void(Data&)> damage;
    std::size_t texts;
  } cases[] = {
      {"a flipped byte fails the CRC", [](Data& d) { d[kFirstChunk + 8 + 6] ^= 1; }, 1},
      {"a length past the end stops reading", [](Data& d) { d[kFirstChunk] = 0x7f; }, 0},
      {"cut in the middle of a chunk", [](Data& d) { d.resize(kFirstChunk + 10); }, 0},
      {"no signature", [](Data& d) { d[1] = 'Q'; }, 0},
      {"empty", [](Data& d) { d.clear(); }, 0},
  };
  for (const auto& c : cases) {
    Data damaged = png;
    c.damage(damaged);
    EXPECT_EQ(PNGText::texts(damaged).size(), c.texts) << c.what;
  }
  // Not a PNG: nothing is added.
  const Data plain{1, 2, 3};
  EXPECT_EQ(PNGText::withTexts(plain, {"x"}), plain);
}

}  // namespace
}  // namespace platform::ui_tests
