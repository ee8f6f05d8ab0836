#include "app/dot_view.h"

#include <algorithm>

#include "app/app_fonts.h"
#include "app/app_notifications.h"
#include "app/setting_keys.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/screen.h"

namespace {

constexpr std::string_view kComplete = "complete";
constexpr std::string_view kIncomplete = "incomplete";

// How far below the view's bottom the counter sits, by the main screen's height.
double counterOffset() {
  double height = platform::Screen::main().bounds().height();
  if (height == 667.0) return 10;
  if (height == 736.0) return 15;
  if (height == 812.0) return 5;
  if (height == 896.0) return 20;
  return 0;
}

}  // namespace

DotView::DotView(platform::Rect frame) : platform::View(frame) {}

std::shared_ptr<DotView> DotView::makeForLayout(platform::Rect frame) {
  auto view = std::make_shared<DotView>(frame);
  std::weak_ptr<DotView> weak = view;
  platform::NotificationCenter::defaultCenter().addObserver(std::weak_ptr<const void>(weak),
                                                            std::string(kSessionNumberChangeNotification), nullptr,
                                                            [weak](const platform::Notification& notification) {
                                                              if (auto self = weak.lock())
                                                                self->updateDotArrayWithNoti(notification);
                                                            });
  postAppNotification(kSessionNumberChangeNotification, true);
  return view;
}

void DotView::updateDotArrayWithNoti(const platform::Notification& notification) {
  updateDotArray(booleanNumberValue(notification.object) == true);
}

void DotView::updateDotArray(bool blink) {
  auto defaults = platform::UserDefaults::standard();
  std::int64_t count = storedSetting(kSessionNumberKey);
  std::int64_t current = defaults->integerForKey(kSessionDoneNumberKey);
  dotImageNames_.clear();
  for (std::int64_t i = 1; i <= count; ++i) dotImageNames_.emplace_back(current >= i ? kComplete : kIncomplete);
  layoutDots(blink, current, count);
}

void DotView::layoutDots(bool blink, std::int64_t current, std::int64_t count) {
  dotImageViews_.clear();
  auto subviews = this->subviews();
  for (const auto& subview : subviews) subview->removeFromSuperview();

  auto incomplete = platform::Image::named(kIncomplete);
  platform::Size dot = incomplete ? incomplete->size() : platform::Size{0, 0};
  const double w = dot.width;
  const double h = dot.height;
  for (std::int64_t i = 1; i <= count && static_cast<std::size_t>(i) <= dotImageNames_.size(); ++i) {
    auto imageView =
        std::make_shared<platform::ImageView>(platform::Image::named(dotImageNames_[static_cast<std::size_t>(i - 1)]));
    imageView->setContentMode(platform::ContentMode::ScaleAspectFit);
    imageView->setAccessibilityIdentifier("dot" + std::to_string(i));
    dotImageViews_.push_back(imageView);
    double index = static_cast<double>(i <= kDotsPerRow ? i - 1 : i - kDotsPerRow - 1);
    double y = i <= kDotsPerRow ? 0 : h + kRowGap;
    imageView->setFrame(platform::Rect(w * index, y, w, h));
    addSubview(imageView);
  }

  counterLabel_ = std::make_shared<platform::Label>();
  counterLabel_->setFont(platform::Font::named(kHandwritingFontName, kCounterFontSize));
  counterLabel_->setTextColor(platform::Color::blackColor());
  counterLabel_->setText(std::to_string(current) + "/" + std::to_string(count));
  counterLabel_->setAccessibilityIdentifier("dotCounterLabel");
  counterLabel_->sizeToFit();
  addSubview(counterLabel_);

  auto held = constraints();
  removeConstraints(held);
  counterLabel_->setTranslatesAutoresizingMaskIntoConstraints(false);
  platform::LayoutConstraint::activate({
      widthAnchor().constraintEqualToConstant(w * static_cast<double>(std::min(count, kDotsPerRow))),
      heightAnchor().constraintEqualToConstant(2 * h + kRowGap + counterLabel_->frame().height()),
      counterLabel_->centerXAnchor().constraintEqualToAnchor(centerXAnchor()),
      counterLabel_->bottomAnchor().constraintEqualToAnchor(bottomAnchor(), counterOffset()),
  });

  setNeedsLayout();
  if (blink) blinkCurrentDot();
}

void DotView::blinkCurrentDot() {
  auto defaults = platform::UserDefaults::standard();
  std::int64_t current = defaults->integerForKey(kSessionDoneNumberKey);
  if (static_cast<std::int64_t>(dotImageViews_.size()) < current) {
    // The count was lowered below the current period: the cycle starts over.
    defaults->setInteger(1, kSessionDoneNumberKey);
    postAppNotification(kSessionNumberChangeNotification);
    return;
  }
  if (current < 2) return;
  setDotImage(current, kIncomplete);
  std::weak_ptr<DotView> weak = std::static_pointer_cast<DotView>(shared_from_this());
  auto step = [weak, current](double delay, std::string_view name) {
    platform::DispatchQueue::main()->after(delay, [weak, current, name] {
      if (auto self = weak.lock()) self->setDotImage(current, name);
    });
  };
  step(blinkTime_ + 0.1, kComplete);
  step(2 * blinkTime_ + 0.1, kIncomplete);
  step(3 * blinkTime_ + 0.2, kComplete);
}

void DotView::setDotImage(std::int64_t number, std::string_view imageName) {
  if (number < 1 || number > static_cast<std::int64_t>(dotImageViews_.size())) return;
  dotImageViews_[static_cast<std::size_t>(number - 1)]->setImage(platform::Image::named(imageName));
}
