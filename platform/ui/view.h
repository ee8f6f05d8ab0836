// Views: a rectangle in its superview with alpha, visibility, a tag, user interaction,
// subviews, gesture recognizers and layout constraints. Nothing is drawn here: the terminal
// front end renders the view tree and the image context renders images. Views belong to the main
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"
#include "platform/ui/layout_constraint.h"

namespace platform {

class GestureRecognizer;
class Window;

enum class ContentMode {
  ScaleToFill = 0,
  ScaleAspectFit = 1,
  ScaleAspectFill = 2,
  Redraw = 3,
  Center = 4,
  Top = 5,
  Bottom = 6,
  Left = 7,
  Right = 8,
};

// Animation options, with the platform's bit values.
enum AnimationOptions : unsigned {
  kAnimationOptionNone = 0,
  kAnimationOptionLayoutSubviews = 1u << 0,
  kAnimationOptionAllowUserInteraction = 1u << 1,
  kAnimationOptionBeginFromCurrentState = 1u << 2,
  kAnimationOptionRepeat = 1u << 3,
  kAnimationOptionAutoreverse = 1u << 4,
  kAnimationOptionCurveEaseInOut = 0u << 16,
  kAnimationOptionCurveEaseIn = 1u << 16,
  kAnimationOptionCurveEaseOut = 2u << 16,
  kAnimationOptionCurveLinear = 3u << 16,
};

class View : public std::enable_shared_from_this<View> {
 public:
  View();
  explicit View(Rect frame);
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // The kind shown by the terminal front end and in descriptions.
  virtual std::string_view className() const { return "View"; }

  // Geometry, in the superview's coordinates (frame, center) or the view's own (bounds).
  Rect frame() const { return frame_; }
  void setFrame(Rect frame);
  Rect bounds() const { return Rect(0, 0, frame_.size.width, frame_.size.height); }
  void setBounds(Rect bounds);  // keeps the centre
  Point center() const { return Point{frame_.midX(), frame_.midY()}; }
  void setCenter(Point center);

  double alpha() const { return alpha_; }
  void setAlpha(double alpha);  // clamped to 0 ... 1
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);
  std::int64_t tag() const { return tag_; }
  void setTag(std::int64_t tag) { tag_ = tag; }
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color);
  ContentMode contentMode() const { return contentMode_; }
  void setContentMode(ContentMode mode) { contentMode_ = mode; }
  bool clipsToBounds() const { return clipsToBounds_; }
  void setClipsToBounds(bool clips) { clipsToBounds_ = clips; }
  const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
  void setAccessibilityIdentifier(std::string identifier) { accessibilityIdentifier_ = std::move(identifier); }

  // The hierarchy. Adding a view that has another superview moves it; subviews are back to front.
  std::shared_ptr<View> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  void addSubview(const std::shared_ptr<View>& view);
  void insertSubviewAtIndex(const std::shared_ptr<View>& view, std::size_t index);
  void bringSubviewToFront(const std::shared_ptr<View>& view);
  void sendSubviewToBack(const std::shared_ptr<View>& view);
  void removeFromSuperview();
  bool isDescendantOfView(const View& view) const;  // true for the view itself
  // The window the view is in, or null.
  std::shared_ptr<Window> window() const;
  // This view or the first descendant (depth first, back to front) with the tag.
  std::shared_ptr<View> viewWithTag(std::int64_t tag);

  // Coordinate conversion; a null view means the window's coordinates.
  Point convertPointToView(Point point, const View* view) const;
  Point convertPointFromView(Point point, const View* view) const;
  Rect convertRectToView(Rect rect, const View* view) const;
  Rect convertRectFromView(Rect rect, const View* view) const;

  // The front-most descendant (or this view) that is visible (not hidden, alpha of 0.01 or more),
  // takes user interaction and contains the point (in this view's coordinates); null when none.
  virtual std::shared_ptr<View> hitTest(Point point);
  virtual bool pointInside(Point point) const { return bounds().contains(point); }
  // Whether touches may reach this view itself (controls add their enabled state).
  virtual bool takesTouches() const;

  // Gesture recognizers, in the order added.
  void addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
  void removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const { return recognizers_; }

  // Constraints held by this view, in the order they were added (activation adds them to the
  // closest common ancestor of their views).
  const std::vector<std::shared_ptr<LayoutConstraint>>& constraints() const { return constraints_; }
  void addConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
  void addConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
  void removeConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
  void removeConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizingMask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool translates) { translatesAutoresizingMask_ = translates; }

  LayoutAnchor leftAnchor() { return anchor(LayoutAttribute::Left); }
  LayoutAnchor rightAnchor() { return anchor(LayoutAttribute::Right); }
  LayoutAnchor leadingAnchor() { return anchor(LayoutAttribute::Leading); }
  LayoutAnchor trailingAnchor() { return anchor(LayoutAttribute::Trailing); }
  LayoutAnchor topAnchor() { return anchor(LayoutAttribute::Top); }
  LayoutAnchor bottomAnchor() { return anchor(LayoutAttribute::Bottom); }
  LayoutAnchor widthAnchor() { return anchor(LayoutAttribute::Width); }
  LayoutAnchor heightAnchor() { return anchor(LayoutAttribute::Height); }
  LayoutAnchor centerXAnchor() { return anchor(LayoutAttribute::CenterX); }
  LayoutAnchor centerYAnchor() { return anchor(LayoutAttribute::CenterY); }

  // Layout runs soon after a change (on the main queue) or at once with layoutIfNeeded; it places
  // every constrained view of the view's window (or top-most superview).
  void setNeedsLayout();
  void layoutIfNeeded();
  virtual void layoutSubviews() {}
  // The size the view would like for its content; -1 in a dimension that has none.
  virtual Size intrinsicContentSize() const { return Size{-1, -1}; }
  virtual Size sizeThatFits(Size size) const;
  void sizeToFit();

  // Overridable notices of the hierarchy.
  virtual void didMoveToSuperview() {}
  virtual void didMoveToWindow() {}

  // Animations: the final values of `animations` apply at once; `completion` runs on the main
  // queue after delay + duration on the platform clock with finished = true. A repeating
  // animation never finishes: its completion runs with finished = false when its views have all
  // left the window, as does that of any animation whose views leave the window early. An
  // animation that changes no view completes at once. Views being animated take no touches
  // unless kAnimationOptionAllowUserInteraction is given.
  static void animate(double duration, double delay, unsigned options, const std::function<void()>& animations,
                      std::function<void(bool finished)> completion = {});
  static void animate(double duration, const std::function<void()>& animations,
                      std::function<void(bool finished)> completion = {});
  bool hasRunningAnimations() const;

  std::string description() const;

 protected:
  // Setters of animatable properties call this, so an animation block knows its views.
  void noteAnimatableChange();

 private:
  friend class Window;
  LayoutAnchor anchor(LayoutAttribute attribute);
  void setSuperview(View* superview);
  void windowChanged(Window* oldWindow, Window* newWindow);
  Window* windowPointer() const;

  Rect frame_;
  double alpha_ = 1;
  bool hidden_ = false;
  std::int64_t tag_ = 0;
  bool userInteractionEnabled_ = true;
  std::optional<Color> backgroundColor_;
  ContentMode contentMode_ = ContentMode::ScaleToFill;
  bool clipsToBounds_ = false;
  bool translatesAutoresizingMask_ = true;
  std::string accessibilityIdentifier_;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::vector<std::shared_ptr<GestureRecognizer>> recognizers_;
  std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
};

}  // namespace platform
