#include "platform/ui/graphics_context.h"

#include <cairo.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/ui/cairo_support.h"
#include "platform/ui/image.h"
#include "platform/ui/image_bitmap.h"
#include "platform/ui/screen.h"

namespace platform {

struct ImageContext::Surface {
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  std::vector<std::string> texts;
  ~Surface() {
    if (cr) cairo_destroy(cr);
    if (surface) cairo_surface_destroy(surface);
  }
};

namespace {

// Breaks a paragraph into lines no wider than `width`, at spaces where possible; a word wider than
// the line is broken between characters.
std::vector<std::string> wrapParagraph(cairo_t* cr, const std::string& paragraph, double width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t i = 0;
  auto fits = [&](const std::string& s) { return cairo_support::lineWidth(cr, s) <= width + 1e-9; };
  while (i < paragraph.size()) {
    std::size_t end = paragraph.find(' ', i);
    std::string word = paragraph.substr(i, end == std::string::npos ? std::string::npos : end - i);
    std::string candidate = line.empty() ? word : line + " " + word;
    if (fits(candidate)) {
      line = std::move(candidate);
    } else {
      if (!line.empty()) lines.push_back(std::move(line));
      line.clear();
      // Break an over-long word between UTF-8 characters.
      std::string chunk;
      for (std::size_t k = 0; k < word.size();) {
        std::size_t len = 1;
        unsigned char c = static_cast<unsigned char>(word[k]);
        if (c >= 0xF0)
          len = 4;
        else if (c >= 0xE0)
          len = 3;
        else if (c >= 0xC0)
          len = 2;
        std::string next = chunk + word.substr(k, len);
        if (!chunk.empty() && !fits(next)) {
          lines.push_back(std::move(chunk));
          chunk = word.substr(k, len);
        } else {
          chunk = std::move(next);
        }
        k += len;
      }
      line = std::move(chunk);
    }
    if (end == std::string::npos) break;
    i = end + 1;
  }
  lines.push_back(std::move(line));
  return lines;
}

std::vector<ImageContext*>& contextStack() {
  thread_local std::vector<ImageContext*> stack;
  return stack;
}

}  // namespace

ImageContext::ImageContext(Size size, double scale, bool opaque)
    : size_(size), scale_(scale > 0 ? scale : Screen::main().scale()) {
  int w = static_cast<int>(std::lround(size.width * scale_));
  int h = static_cast<int>(std::lround(size.height * scale_));
  if (w <= 0 || h <= 0) return;
  auto s = std::make_unique<Surface>();
  s->surface = cairo_image_surface_create(opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, w, h);
  if (cairo_surface_status(s->surface) != CAIRO_STATUS_SUCCESS) return;
  s->cr = cairo_create(s->surface);
  cairo_scale(s->cr, scale_, scale_);
  if (opaque) {
    cairo_set_source_rgb(s->cr, 0, 0, 0);
    cairo_paint(s->cr);
  }
  surface_ = std::move(s);
}

ImageContext::~ImageContext() = default;

bool ImageContext::isValid() const { return surface_ != nullptr; }

void ImageContext::drawImage(const Image& image, Rect rect) {
  if (!surface_ || rect.isEmpty()) return;
  auto bitmap = image.bitmap();
  if (!bitmap || !bitmap->surface) return;
  int pw = cairo_image_surface_get_width(bitmap->surface);
  int ph = cairo_image_surface_get_height(bitmap->surface);
  if (pw <= 0 || ph <= 0) return;
  cairo_t* cr = surface_->cr;
  cairo_save(cr);
  cairo_rectangle(cr, rect.minX(), rect.minY(), rect.width(), rect.height());
  cairo_clip(cr);
  cairo_translate(cr, rect.minX(), rect.minY());
  cairo_scale(cr, rect.width() / pw, rect.height() / ph);
  cairo_set_source_surface(cr, bitmap->surface, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
}

void ImageContext::fillRect(Rect rect, Color color) {
  if (!surface_) return;
  cairo_t* cr = surface_->cr;
  cairo_save(cr);
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  cairo_rectangle(cr, rect.minX(), rect.minY(), rect.width(), rect.height());
  cairo_fill(cr);
  cairo_restore(cr);
}

void ImageContext::drawText(std::string_view text, Rect rect, const TextAttributes& attributes) {
  if (!surface_ || text.empty() || rect.isEmpty()) return;
  cairo_t* cr = surface_->cr;
  cairo_save(cr);
  cairo_rectangle(cr, rect.minX(), rect.minY(), rect.width(), rect.height());
  cairo_clip(cr);
  cairo_support::selectFont(cr, attributes.font);
  cairo_font_extents_t extents;
  cairo_font_extents(cr, &extents);
  const Color& c = attributes.foregroundColor;
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
  double y = rect.minY();
  std::string all = cairo_support::validUTF8(text);
  surface_->texts.push_back(all);
  std::size_t start = 0;
  while (start <= all.size() && y < rect.maxY()) {
    std::size_t nl = all.find('\n', start);
    std::string paragraph = all.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    for (const auto& line : wrapParagraph(cr, paragraph, rect.width())) {
      if (y >= rect.maxY()) break;
      cairo_move_to(cr, rect.minX(), y + extents.ascent);
      cairo_show_text(cr, line.c_str());
      y += extents.height;
    }
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  cairo_restore(cr);
}

std::shared_ptr<Image> ImageContext::image() const {
  if (!surface_) return nullptr;
  cairo_surface_flush(surface_->surface);
  int w = cairo_image_surface_get_width(surface_->surface);
  int h = cairo_image_surface_get_height(surface_->surface);
  // A snapshot: later drawing into the context does not change the image.
  cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(copy);
  cairo_set_source_surface(cr, surface_->surface, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  auto bitmap = std::make_shared<Image::Bitmap>();
  bitmap->surface = copy;
  auto image = std::make_shared<Image>(std::string(), size_, scale_, std::filesystem::path(), std::move(bitmap));
  image->setDrawnTexts(surface_->texts);
  return image;
}

void beginImageContext(Size size) { beginImageContextWithOptions(size, false, 1); }

void beginImageContextWithOptions(Size size, bool opaque, double scale) {
  contextStack().push_back(new ImageContext(size, scale, opaque));
}

ImageContext* currentImageContext() {
  auto& stack = contextStack();
  return stack.empty() ? nullptr : stack.back();
}

std::shared_ptr<Image> imageFromCurrentImageContext() {
  auto* c = currentImageContext();
  return c ? c->image() : nullptr;
}

void endImageContext() {
  auto& stack = contextStack();
  if (stack.empty()) return;
  delete stack.back();
  stack.pop_back();
}

void drawImageInRect(const Image& image, Rect rect) {
  if (auto* c = currentImageContext()) c->drawImage(image, rect);
}

void drawTextInRect(std::string_view text, Rect rect, const TextAttributes& attributes) {
  if (auto* c = currentImageContext()) c->drawText(text, rect, attributes);
}

void fillRect(Rect rect, Color color) {
  if (auto* c = currentImageContext()) c->fillRect(rect, color);
}

}  // namespace platform
