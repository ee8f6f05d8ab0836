// Bitmap drawing contexts that make images (cairo underneath). The free functions keep the
// platform's "current image context" per thread: begin, draw, take the image, end.
#pragma once

#include <memory>
#include <string_view>

#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"

namespace platform {

class Image;

class ImageContext {
 public:
  // A transparent bitmap of `size` points at `scale` pixels per point (0 takes the main screen's).
  explicit ImageContext(Size size, double scale = 1, bool opaque = false);
  ~ImageContext();
  ImageContext(const ImageContext&) = delete;
  ImageContext& operator=(const ImageContext&) = delete;

  Size size() const { return size_; }
  double scale() const { return scale_; }
  bool isValid() const;

  // Scales the image to fill `rect`.
  void drawImage(const Image& image, Rect rect);
  void fillRect(Rect rect, Color color);
  // Draws text from the top left of `rect`, wrapping at word boundaries to the rectangle's width
  // and clipping to the rectangle, as the platform draws a string in a rectangle.
  void drawText(std::string_view text, Rect rect, const TextAttributes& attributes);
  // The pixels drawn so far as an image (null when the context could not be made).
  std::shared_ptr<Image> image() const;

 private:
  struct Surface;
  Size size_;
  double scale_;
  std::unique_ptr<Surface> surface_;
};

// The current context of this thread: beginImageContext pushes one, endImageContext pops it.
void beginImageContext(Size size);
void beginImageContextWithOptions(Size size, bool opaque, double scale);
ImageContext* currentImageContext();
std::shared_ptr<Image> imageFromCurrentImageContext();
void endImageContext();

// Drawing into the current context (nothing happens without one).
void drawImageInRect(const Image& image, Rect rect);
void drawTextInRect(std::string_view text, Rect rect, const TextAttributes& attributes);
void fillRect(Rect rect, Color color);

}  // namespace platform
