// Images: named images of the app's catalogue, images drawn by an image context, and PNG data.
//
// The catalogue is the main bundle's "ImageManifest.json": an object from image name to
// {"width": w, "height": h, "file": "path/relative/to/the/manifest.png"}, sizes in points. The
// file is optional; an image without one draws as a plain grey placeholder of its size.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "platform/ui/geometry.h"

namespace platform {

class Image {
 public:
  // The catalogue's image of that name, or null when there is none (no error: a view given a
  // missing image simply shows nothing).
  static std::shared_ptr<Image> named(std::string_view name);
  // A PNG image; null when the data is not one.
  static std::shared_ptr<Image> fromPNGData(const Data& png, double scale = 1);

  const std::string& name() const { return name_; }  // empty for drawn images
  Size size() const { return size_; }                // points
  double scale() const { return scale_; }

  // The PNG encoding of the pixels, with the drawn texts as text chunks (png_text.h); empty when
  // the image cannot be encoded.
  Data pngData() const;

  // The texts drawn into the context that made this image, in drawing order; empty for others.
  const std::vector<std::string>& drawnTexts() const { return drawnTexts_; }
  void setDrawnTexts(std::vector<std::string> texts) { drawnTexts_ = std::move(texts); }

  std::string description() const;

  // The pixels, made on first use for catalogue images (see image.cpp).
  struct Bitmap;
  std::shared_ptr<Bitmap> bitmap() const;

  Image(std::string name, Size size, double scale, std::filesystem::path file, std::shared_ptr<Bitmap> bitmap);
  ~Image();

 private:
  std::string name_;
  Size size_;
  double scale_ = 1;
  std::filesystem::path file_;
  static Mutex bitmapMutex_;  // one for all images: bitmaps are made rarely
  mutable std::shared_ptr<Bitmap> bitmap_ GUARDED_BY(bitmapMutex_);
  std::vector<std::string> drawnTexts_;
};

// The catalogue behind Image::named.
namespace ImageCatalog {
// Reads a manifest in place of the main bundle's; false with an error when it is unreadable.
bool load(const std::filesystem::path& manifest, Error* error = nullptr);
// Adds or replaces one entry (tests, generated art).
void add(std::string name, Size size, std::filesystem::path file = {});
// Forgets every entry; the next lookup reads the main bundle's manifest again.
void reset();
}  // namespace ImageCatalog

}  // namespace platform
