#include "platform/ui/window.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "platform/ui/control.h"
#include "platform/ui/view_controller.h"

namespace platform {

namespace {

std::weak_ptr<Window>& keyWindowRef() {
  static std::weak_ptr<Window> key;
  return key;
}

std::shared_ptr<Control> nearestControl(const std::shared_ptr<View>& hit) {
  for (auto v = hit; v; v = v->superview()) {
    if (auto c = std::dynamic_pointer_cast<Control>(v)) return c;
  }
  return nullptr;
}

// The nearest enabled recognizer of type R on the hit view or its ancestors, up to `limit`
// (inclusive; null: up to the root) and accepted by `accept`.
template <class R, class Accept>
std::shared_ptr<R> nearestRecognizer(const std::shared_ptr<View>& hit, const View* limit, Accept accept) {
  for (auto v = hit; v; v = v->superview()) {
    for (const auto& r : v->gestureRecognizers()) {
      auto typed = std::dynamic_pointer_cast<R>(r);
      if (typed && typed->isEnabled() && accept(*typed)) return typed;
    }
    if (v.get() == limit) break;
  }
  return nullptr;
}

}  // namespace

struct Window::Press {
  Point point;
  std::weak_ptr<View> hit;
  std::weak_ptr<Control> control;
  std::weak_ptr<LongPressGestureRecognizer> recognizer;
  std::shared_ptr<Timer> timer;
  bool recognized = false;
};

Window::Window(Rect frame) : View(frame) {}

Window::~Window() {
  if (press_ && press_->timer) press_->timer->invalidate();
}

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
  if (root_ == controller) return;
  if (root_) {
    if (auto v = root_->viewIfLoaded(); v && v->superview().get() == this) v->removeFromSuperview();
  }
  root_ = std::move(controller);
  if (visible_) installRoot();
}

void Window::installRoot() {
  if (!root_) return;
  auto v = root_->view();
  v->setFrame(bounds());
  root_->viewWillAppear(false);
  insertSubviewAtIndex(v, 0);
  std::weak_ptr<ViewController> weakRoot = root_;
  DispatchQueue::main()->async([weakRoot] {
    if (auto r = weakRoot.lock()) r->sendViewDidAppear(false);
  });
}

void Window::makeKeyAndVisible() {
  const auto previous = keyWindowRef().lock();
  keyWindowRef() = std::static_pointer_cast<Window>(shared_from_this());
  if (previous && previous.get() != this) {
    NotificationCenter::defaultCenter().post(std::string(kWindowDidResignKeyNotification), previous.get());
  }
  if (visible_) return;
  visible_ = true;
  installRoot();
}

bool Window::isKeyWindow() const { return keyWindowRef().lock().get() == this; }

std::shared_ptr<Window> Window::keyWindow() { return keyWindowRef().lock(); }

void Window::resetKeyWindow() { keyWindowRef().reset(); }

std::shared_ptr<ViewController> Window::topViewController() const {
  auto c = root_;
  while (c && c->presentedViewController()) c = c->presentedViewController();
  return c;
}

bool Window::deliverTap(Point point, const std::shared_ptr<View>& hit, bool touchedDown) {
  if (!hit) return false;
  auto control = nearestControl(hit);
  // A tap recognizer of the control or of a view inside it wins over the control; the control's
  // own action wins over recognizers of the views around it.
  auto tap = nearestRecognizer<TapGestureRecognizer>(hit, control.get(),
                                                     [](const TapGestureRecognizer& r) { return r.taps_ == 1; });
  if (tap) {
    tap->location_ = point;
    if (control && tap->cancelsTouchesInView()) {
      if (touchedDown) control->sendActionsForControlEvents(kControlEventTouchCancel);
      control->setHighlighted(false);
      control.reset();
    }
    tap->transition(GestureRecognizerState::Ended);
    tap->transition(GestureRecognizerState::Possible);
  }
  if (control) {
    if (!touchedDown) {
      control->setHighlighted(true);
      control->sendActionsForControlEvents(kControlEventTouchDown);
    }
    control->setHighlighted(false);
    control->sendActionsForControlEvents(kControlEventTouchUpInside | kControlEventPrimaryActionTriggered);
  }
  return true;
}

bool Window::tap(Point point) {
  layoutIfNeeded();
  return deliverTap(point, hitTest(point), false);
}

bool Window::swipe(Point point, SwipeDirection direction) {
  layoutIfNeeded();
  auto hit = hitTest(point);
  if (!hit) return false;
  auto swipe = nearestRecognizer<SwipeGestureRecognizer>(
      hit, nullptr, [direction](const SwipeGestureRecognizer& r) { return (r.direction_ & direction) != 0; });
  if (!swipe) return false;
  swipe->location_ = point;
  swipe->transition(GestureRecognizerState::Ended);
  swipe->transition(GestureRecognizerState::Possible);
  return true;
}

bool Window::beginPress(Point point) {
  if (press_) return false;
  layoutIfNeeded();
  auto hit = hitTest(point);
  if (!hit) return false;
  auto press = std::make_unique<Press>();
  press->point = point;
  press->hit = hit;
  auto control = nearestControl(hit);
  press->control = control;
  auto recognizer = nearestRecognizer<LongPressGestureRecognizer>(
      hit, nullptr, [](const LongPressGestureRecognizer&) { return true; });
  press->recognizer = recognizer;
  if (control) {
    control->setHighlighted(true);
    control->sendActionsForControlEvents(kControlEventTouchDown);
  }
  if (recognizer) {
    std::weak_ptr<Window> weakSelf = std::static_pointer_cast<Window>(shared_from_this());
    press->timer = Timer::scheduled(recognizer->minimumPressDuration(), false, [weakSelf](Timer&) {
      auto self = weakSelf.lock();
      if (!self || !self->press_) return;
      auto r = self->press_->recognizer.lock();
      auto v = r ? r->view() : nullptr;
      // The view under the finger may have left the screen meanwhile.
      if (!r || !r->isEnabled() || !v || v->window().get() != self.get()) return;
      self->press_->recognized = true;
      if (auto c = self->press_->control.lock(); c && r->cancelsTouchesInView()) {
        c->setHighlighted(false);
        c->sendActionsForControlEvents(kControlEventTouchCancel);
        self->press_->control.reset();
      }
      r->location_ = self->press_->point;
      r->transition(GestureRecognizerState::Began);
    });
  }
  press_ = std::move(press);
  return true;
}

bool Window::endPress() {
  if (!press_) return false;
  auto press = std::move(press_);
  if (press->timer) press->timer->invalidate();
  if (press->recognized) {
    if (auto r = press->recognizer.lock()) {
      r->transition(GestureRecognizerState::Ended);
      r->transition(GestureRecognizerState::Possible);
    }
    return true;
  }
  // Released before the press was recognized: a tap.
  auto hit = press->hit.lock();
  if (!hit || hit->window().get() != this) {
    if (auto c = press->control.lock()) c->setHighlighted(false);
    return false;
  }
  return deliverTap(press->point, hit, press->control.lock() != nullptr);
}

bool Window::cancelPress() {
  if (!press_) return false;
  auto press = std::move(press_);
  if (press->timer) press->timer->invalidate();
  if (press->recognized) {
    if (auto r = press->recognizer.lock()) {
      r->transition(GestureRecognizerState::Cancelled);
      r->transition(GestureRecognizerState::Possible);
    }
  }
  if (auto c = press->control.lock()) {
    c->setHighlighted(false);
    c->sendActionsForControlEvents(kControlEventTouchCancel);
  }
  return true;
}

}  // namespace platform
