#include "platform/ui/image_view.h"

#include "platform/ui/image.h"

namespace platform {

ImageView::ImageView() { setUserInteractionEnabled(false); }

ImageView::ImageView(Rect frame) : View(frame) { setUserInteractionEnabled(false); }

ImageView::ImageView(std::shared_ptr<Image> image)
    : View(Rect(Point{}, image ? image->size() : Size{})), image_(std::move(image)) {
  setUserInteractionEnabled(false);
}

void ImageView::setImage(std::shared_ptr<Image> image) {
  image_ = std::move(image);
  setNeedsLayout();
}

Size ImageView::intrinsicContentSize() const {
  if (!image_) return Size{-1, -1};
  return image_->size();
}

Size ImageView::sizeThatFits(Size size) const {
  if (!image_) return size;
  return image_->size();
}

}  // namespace platform
