// The main screen: its bounds in points and its scale. The app lays screens out by these bounds.
#pragma once

#include <string_view>

#include "platform/foundation/thread_safety.h"
#include "platform/ui/geometry.h"

namespace platform {

struct ScreenProfile {
  std::string_view name;
  Size size;
  double scale;
};

// The screen sizes the app knows, smallest phone first, the tablet last.
inline constexpr ScreenProfile kScreenProfiles[] = {
    {"320x480", {320, 480}, 2}, {"320x568", {320, 568}, 2}, {"375x667", {375, 667}, 2}, {"414x736", {414, 736}, 3},
    {"375x812", {375, 812}, 3}, {"390x844", {390, 844}, 3}, {"414x896", {414, 896}, 3}, {"768x1024", {768, 1024}, 2},
};

class Screen {
 public:
  static Screen& main();

  Rect bounds() const;
  double scale() const;
  // Set before the window is made; a window made earlier keeps its size.
  void setSize(Size size);
  void setScale(double scale);
  // Back to 375 x 667 points at scale 2.
  void reset();

 private:
  mutable Mutex mutex_;
  Size size_ GUARDED_BY(mutex_){375, 667};
  double scale_ GUARDED_BY(mutex_) = 2;
};

}  // namespace platform
