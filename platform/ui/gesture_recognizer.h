// Gesture recognizers: tap, swipe and long press. A recognizer calls its actions when it
// recognizes its gesture; a long press also when it ends.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/ui/geometry.h"

namespace platform {

class View;

// The platform's state values.
enum class GestureRecognizerState { Possible = 0, Began = 1, Changed = 2, Ended = 3, Cancelled = 4, Failed = 5 };

class GestureRecognizer : public std::enable_shared_from_this<GestureRecognizer> {
 public:
  // The sender is the recognizer. Capture the target weakly.
  using Action = std::function<void(GestureRecognizer& sender)>;

  GestureRecognizer() = default;
  GestureRecognizer(const void* target, Action action);
  virtual ~GestureRecognizer();
  GestureRecognizer(const GestureRecognizer&) = delete;
  GestureRecognizer& operator=(const GestureRecognizer&) = delete;

  void addTarget(const void* target, Action action);
  void removeTarget(const void* target);

  GestureRecognizerState state() const { return state_; }
  std::shared_ptr<View> view() const { return view_.lock(); }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
  void setCancelsTouchesInView(bool cancels) { cancelsTouchesInView_ = cancels; }
  // Where the touch was, in the given view's coordinates (null: the window's).
  Point locationInView(const View* view) const;

 protected:
  // Moves to `state` and calls the actions when the platform would (every state but Possible and
  // Failed).
  void transition(GestureRecognizerState state);

 private:
  friend class View;
  friend class Window;
  struct Registration {
    const void* target;
    Action action;
  };
  std::vector<Registration> registrations_;
  std::weak_ptr<View> view_;
  GestureRecognizerState state_ = GestureRecognizerState::Possible;
  bool enabled_ = true;
  bool cancelsTouchesInView_ = true;
  Point location_;  // window coordinates
};

class TapGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  int numberOfTapsRequired() const { return taps_; }
  void setNumberOfTapsRequired(int taps) { taps_ = taps; }

 private:
  friend class Window;
  int taps_ = 1;
};

// The platform's direction bits.
enum SwipeDirection : unsigned {
  kSwipeDirectionRight = 1u << 0,
  kSwipeDirectionLeft = 1u << 1,
  kSwipeDirectionUp = 1u << 2,
  kSwipeDirectionDown = 1u << 3,
};

class SwipeGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  unsigned direction() const { return direction_; }
  void setDirection(unsigned direction) { direction_ = direction; }

 private:
  friend class Window;
  unsigned direction_ = kSwipeDirectionRight;
};

class LongPressGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  double minimumPressDuration() const { return minimumPressDuration_; }
  void setMinimumPressDuration(double seconds) { minimumPressDuration_ = seconds; }

 private:
  double minimumPressDuration_ = 0.5;
};

}  // namespace platform
