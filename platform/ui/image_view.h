// An image in a rectangle. A missing image leaves the view empty. Image views take no touches
// unless told to.
#pragma once

#include <memory>

#include "platform/ui/view.h"

namespace platform {

class Image;

class ImageView : public View {
 public:
  ImageView();
  explicit ImageView(Rect frame);
  // Framed at the origin with the image's size (empty for no image).
  explicit ImageView(std::shared_ptr<Image> image);
  std::string_view className() const override { return "ImageView"; }

  std::shared_ptr<Image> image() const { return image_; }
  // Keeps the frame.
  void setImage(std::shared_ptr<Image> image);
  std::shared_ptr<Image> highlightedImage() const { return highlightedImage_; }
  void setHighlightedImage(std::shared_ptr<Image> image) { highlightedImage_ = std::move(image); }
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool highlighted) { highlighted_ = highlighted; }

  Size intrinsicContentSize() const override;
  Size sizeThatFits(Size size) const override;

 private:
  std::shared_ptr<Image> image_;
  std::shared_ptr<Image> highlightedImage_;
  bool highlighted_ = false;
};

}  // namespace platform
