// The row of period dots under the focus screen's timer: one dot per focus period of the cycle
// ("complete" up to the current period, "incomplete" after it) and a counter label beneath. The
// row is rebuilt on every "SessionNumberChangeNotification"; an object of true also blinks the
// current dot, as after a break.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/view.h"

namespace platform {
class ImageView;
class Label;
struct Notification;
}  // namespace platform

class DotView : public platform::View {
 public:
  // Periods per cycle that the row can show; a stored count outside is clamped for the layout.
  static constexpr std::int64_t kDotsPerRow = 5;
  static constexpr double kRowGap = 5;
  static constexpr double kCounterFontSize = 25;

  // The fields only.
  explicit DotView(platform::Rect frame);
  // As the focus screen's layout makes it: observes the notification and builds the row (with
  // the blink) at once.
  static std::shared_ptr<DotView> makeForLayout(platform::Rect frame);

  std::string_view className() const override { return "DotView"; }

  void updateDotArrayWithNoti(const platform::Notification& notification);
  void updateDotArray(bool blink);
  void layoutDots(bool blink, std::int64_t current, std::int64_t count);
  void blinkCurrentDot();
  // Dot `number` (1-based) shows the image; a dot that no longer exists is left alone.
  void setDotImage(std::int64_t number, std::string_view imageName);

  const std::vector<std::string>& dotImageNames() const { return dotImageNames_; }
  const std::vector<std::shared_ptr<platform::ImageView>>& dotImageViews() const { return dotImageViews_; }
  const std::shared_ptr<platform::Label>& counterLabel() const { return counterLabel_; }
  double blinkTime() const { return blinkTime_; }

 private:
  std::vector<std::string> dotImageNames_;
  std::vector<std::shared_ptr<platform::ImageView>> dotImageViews_;
  double blinkTime_ = 0.7;
  std::shared_ptr<platform::Label> counterLabel_;
};
