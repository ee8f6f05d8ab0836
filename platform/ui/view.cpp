#include "platform/ui/view.h"

#include <algorithm>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/view_internal.h"
#include "platform/ui/window.h"

namespace platform {

namespace {

void collectSubtree(View& view, std::vector<View*>& out) {
  out.push_back(&view);
  for (const auto& sub : view.subviews()) collectSubtree(*sub, out);
}

View* rootOf(const View& view) {
  const View* v = &view;
  while (auto s = v->superview()) v = s.get();
  return const_cast<View*>(v);
}

// Offset of the view's origin from its root's origin (the root's own frame is not counted).
Point offsetFromRoot(const View& view) {
  Point p;
  const View* v = &view;
  while (auto s = v->superview()) {
    p.x += v->frame().origin.x;
    p.y += v->frame().origin.y;
    v = s.get();
  }
  return p;
}

}  // namespace

View::View() = default;
View::View(Rect frame) : frame_(frame) {}

View::~View() {
  for (auto& sub : subviews_) sub->superview_.reset();
}

void View::setFrame(Rect frame) {
  frame_ = frame;
  noteAnimatableChange();
}

void View::setBounds(Rect bounds) {
  Point c = center();
  frame_ = Rect(c.x - bounds.width() / 2, c.y - bounds.height() / 2, bounds.width(), bounds.height());
  noteAnimatableChange();
}

void View::setCenter(Point center) {
  frame_.origin = Point{center.x - frame_.size.width / 2, center.y - frame_.size.height / 2};
  noteAnimatableChange();
}

void View::setAlpha(double alpha) {
  alpha_ = std::clamp(alpha, 0.0, 1.0);
  noteAnimatableChange();
}

void View::setHidden(bool hidden) { hidden_ = hidden; }

void View::setBackgroundColor(std::optional<Color> color) {
  backgroundColor_ = color;
  noteAnimatableChange();
}

Window* View::windowPointer() const {
  const View* v = this;
  while (v) {
    if (auto* w = dynamic_cast<const Window*>(v)) return const_cast<Window*>(w);
    auto s = v->superview_.lock();
    v = s.get();
  }
  return nullptr;
}

std::shared_ptr<Window> View::window() const {
  Window* w = windowPointer();
  if (!w) return nullptr;
  return std::static_pointer_cast<Window>(w->shared_from_this());
}

void View::windowChanged(Window* oldWindow, Window* newWindow) {
  if (oldWindow == newWindow) return;
  std::vector<View*> views;
  collectSubtree(*this, views);
  for (View* v : views) v->didMoveToWindow();
  if (oldWindow && !newWindow) view_internal::subtreeLeftWindow(views);
}

void View::addSubview(const std::shared_ptr<View>& view) { insertSubviewAtIndex(view, subviews_.size()); }

void View::insertSubviewAtIndex(const std::shared_ptr<View>& view, std::size_t index) {
  if (!view) return;
  if (isDescendantOfView(*view)) {
    throw Exception(std::string(kInvalidArgumentException), "Can't add self as subview");
  }
  Window* oldWindow = view->windowPointer();
  auto old = view->superview();
  auto keep = view;
  if (old) {
    auto& list = old->subviews_;
    list.erase(std::remove(list.begin(), list.end(), view), list.end());
  }
  index = std::min(index, subviews_.size());
  subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), view);
  view->superview_ = weak_from_this();
  view->didMoveToSuperview();
  view->windowChanged(oldWindow, windowPointer());
  setNeedsLayout();
}

void View::bringSubviewToFront(const std::shared_ptr<View>& view) {
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  subviews_.erase(it);
  subviews_.push_back(view);
}

void View::sendSubviewToBack(const std::shared_ptr<View>& view) {
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  subviews_.erase(it);
  subviews_.insert(subviews_.begin(), view);
}

void View::removeFromSuperview() {
  auto parent = superview();
  if (!parent) return;
  auto keep = shared_from_this();
  Window* oldWindow = windowPointer();
  // Constraints that tie the leaving subtree to views that stay go with it.
  std::vector<View*> leaving;
  collectSubtree(*this, leaving);
  auto inLeaving = [&](const std::shared_ptr<View>& v) {
    return v && std::find(leaving.begin(), leaving.end(), v.get()) != leaving.end();
  };
  for (auto a = parent; a; a = a->superview()) {
    auto& list = a->constraints_;
    for (auto it = list.begin(); it != list.end();) {
      if (inLeaving((*it)->firstItem()) || inLeaving((*it)->secondItem())) {
        (*it)->holder_.reset();
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  auto& list = parent->subviews_;
  list.erase(std::remove(list.begin(), list.end(), keep), list.end());
  superview_.reset();
  didMoveToSuperview();
  windowChanged(oldWindow, nullptr);
  parent->setNeedsLayout();
}

bool View::isDescendantOfView(const View& view) const {
  const View* v = this;
  while (v) {
    if (v == &view) return true;
    auto s = v->superview_.lock();
    v = s.get();
  }
  return false;
}

std::shared_ptr<View> View::viewWithTag(std::int64_t tag) {
  if (tag_ == tag) return shared_from_this();
  for (const auto& sub : subviews_) {
    if (auto found = sub->viewWithTag(tag)) return found;
  }
  return nullptr;
}

Point View::convertPointToView(Point point, const View* view) const {
  Point mine = offsetFromRoot(*this);
  Point root{point.x + mine.x, point.y + mine.y};
  if (!view) return root;
  Point theirs = offsetFromRoot(*view);
  return Point{root.x - theirs.x, root.y - theirs.y};
}

Point View::convertPointFromView(Point point, const View* view) const {
  Point root = view ? view->convertPointToView(point, nullptr) : point;
  Point mine = offsetFromRoot(*this);
  return Point{root.x - mine.x, root.y - mine.y};
}

Rect View::convertRectToView(Rect rect, const View* view) const {
  return Rect(convertPointToView(rect.origin, view), rect.size);
}

Rect View::convertRectFromView(Rect rect, const View* view) const {
  return Rect(convertPointFromView(rect.origin, view), rect.size);
}

bool View::takesTouches() const { return userInteractionEnabled_ && !view_internal::animationBlocksTouches(*this); }

std::shared_ptr<View> View::hitTest(Point point) {
  if (hidden_ || alpha_ < 0.01 || !takesTouches() || !pointInside(point)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    const auto& sub = *it;
    Point inSub{point.x - sub->frame_.origin.x, point.y - sub->frame_.origin.y};
    if (auto hit = sub->hitTest(inSub)) return hit;
  }
  return shared_from_this();
}

void View::addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
  if (!recognizer) return;
  if (auto old = recognizer->view(); old && old.get() != this) old->removeGestureRecognizer(recognizer);
  if (std::find(recognizers_.begin(), recognizers_.end(), recognizer) == recognizers_.end()) {
    recognizers_.push_back(recognizer);
  }
  recognizer->view_ = weak_from_this();
}

void View::removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
  auto it = std::find(recognizers_.begin(), recognizers_.end(), recognizer);
  if (it == recognizers_.end()) return;
  (*it)->view_.reset();
  recognizers_.erase(it);
}

void View::addConstraint(const std::shared_ptr<LayoutConstraint>& constraint) {
  if (!constraint) return;
  if (auto holder = constraint->holder_.lock(); holder && holder.get() != this) holder->removeConstraint(constraint);
  if (std::find(constraints_.begin(), constraints_.end(), constraint) == constraints_.end()) {
    constraints_.push_back(constraint);
  }
  constraint->holder_ = weak_from_this();
  setNeedsLayout();
}

void View::addConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
  for (const auto& c : constraints) addConstraint(c);
}

void View::removeConstraint(const std::shared_ptr<LayoutConstraint>& constraint) {
  auto it = std::find(constraints_.begin(), constraints_.end(), constraint);
  if (it == constraints_.end()) return;
  (*it)->holder_.reset();
  constraints_.erase(it);
  setNeedsLayout();
}

void View::removeConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
  // A copy: callers pass this view's own list, which the removal changes.
  auto list = constraints;
  for (const auto& c : list) removeConstraint(c);
}

LayoutAnchor View::anchor(LayoutAttribute attribute) { return LayoutAnchor(weak_from_this(), attribute); }

namespace {
// Roots with a layout pass already queued on the main queue.
std::vector<std::weak_ptr<View>>& pendingLayouts() {
  static std::vector<std::weak_ptr<View>> pending;
  return pending;
}
}  // namespace

void View::setNeedsLayout() {
  View* root = rootOf(*this);
  auto weakRoot = root->weak_from_this();
  if (weakRoot.expired()) return;
  auto& pending = pendingLayouts();
  for (const auto& p : pending) {
    if (p.lock().get() == root) return;
  }
  pending.push_back(weakRoot);
  DispatchQueue::main()->async([weakRoot] {
    auto& list = pendingLayouts();
    auto target = weakRoot.lock();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::weak_ptr<View>& p) {
                                auto v = p.lock();
                                return !v || v == target;
                              }),
               list.end());
    if (target) target->layoutIfNeeded();
  });
}

void View::layoutIfNeeded() {
  View* root = rootOf(*this);
  view_internal::resolveConstraints(*root);
  std::vector<View*> views;
  collectSubtree(*root, views);
  for (View* v : views) v->layoutSubviews();
}

Size View::sizeThatFits(Size) const {
  Size intrinsic = intrinsicContentSize();
  return Size{intrinsic.width >= 0 ? intrinsic.width : frame_.size.width,
              intrinsic.height >= 0 ? intrinsic.height : frame_.size.height};
}

void View::sizeToFit() {
  Size s = sizeThatFits(frame_.size);
  setFrame(Rect(frame_.origin, s));
}

std::string View::description() const {
  return format("<%@: %p; frame = %@; tag = %lld%@%@>", std::string(className()), static_cast<const void*>(this),
                frame_.description(), static_cast<long long>(tag_), hidden_ ? std::string("; hidden") : std::string(),
                accessibilityIdentifier_.empty() ? std::string() : "; id = " + accessibilityIdentifier_);
}

}  // namespace platform
