// The window: the root of a view tree. It shows its root view controller's view and, above it,
// the views of the screens presented over it; touches given to it are hit-tested and delivered
// to the control or gesture recognizer under the finger.
#pragma once

#include <memory>

#include "platform/runtime/object.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/view.h"

namespace platform {

class ViewController;

// Posted when another window becomes key; object: the window that stopped being key.
inline constexpr std::string_view kWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

// A runtime object so that other layers can attach state to it (associated objects).
class Window : public View, public virtual runtime::Object {
 public:
  explicit Window(Rect frame);
  ~Window() override;
  std::string_view className() const override { return "Window"; }

  std::shared_ptr<ViewController> rootViewController() const { return root_; }
  // Shows the controller's view; the view loads now if the window is visible, else when it
  // becomes visible.
  void setRootViewController(std::shared_ptr<ViewController> controller);
  void makeKeyAndVisible();
  bool isKeyWindow() const;
  // The window last made key, or null.
  static std::shared_ptr<Window> keyWindow();
  static void resetKeyWindow();
  bool isVisible() const { return visible_; }

  // The screen in front: the last controller of the root's chain of presented controllers.
  std::shared_ptr<ViewController> topViewController() const;

  // Touches at a point in window coordinates; each answers whether any view took the touch.
  // A tap goes to the control under the finger (touch down, then touch up inside) or else to the
  // nearest tap recognizer of that view or its ancestors.
  bool tap(Point point);
  // A swipe starting at the point goes to the nearest swipe recognizer with that direction.
  bool swipe(Point point, SwipeDirection direction);
  // A press held at the point: the nearest long-press recognizer begins once the finger has been
  // down for its minimum duration on the platform clock. Releasing earlier makes it a tap.
  bool beginPress(Point point);
  bool endPress();
  // The system takes the held touch away (the app leaves the front): a recognised press is
  // cancelled, an unrecognised one ends without a tap.
  bool cancelPress();
  bool isPressing() const { return press_ != nullptr; }

 private:
  struct Press;
  void installRoot();
  bool deliverTap(Point point, const std::shared_ptr<View>& hit, bool touchedDown);
  std::shared_ptr<ViewController> root_;
  bool visible_ = false;
  std::unique_ptr<Press> press_;
};

}  // namespace platform
