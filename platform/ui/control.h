// Controls: enabled, selected and highlighted states and target-action by control event. A
// disabled control takes no touches: they go to whatever lies beneath it.
#pragma once

#include <functional>
#include <vector>

#include "platform/ui/view.h"

namespace platform {

// Control states, with the platform's bit values; Normal is the absence of the others.
enum ControlState : unsigned {
  kControlStateNormal = 0,
  kControlStateHighlighted = 1u << 0,
  kControlStateDisabled = 1u << 1,
  kControlStateSelected = 1u << 2,
};

// Control events, with the platform's bit values.
enum ControlEvents : unsigned {
  kControlEventTouchDown = 1u << 0,
  kControlEventTouchDownRepeat = 1u << 1,
  kControlEventTouchDragInside = 1u << 2,
  kControlEventTouchDragOutside = 1u << 3,
  kControlEventTouchDragEnter = 1u << 4,
  kControlEventTouchDragExit = 1u << 5,
  kControlEventTouchUpInside = 1u << 6,
  kControlEventTouchUpOutside = 1u << 7,
  kControlEventTouchCancel = 1u << 8,
  kControlEventValueChanged = 1u << 12,
  kControlEventPrimaryActionTriggered = 1u << 13,
  kControlEventEditingDidBegin = 1u << 16,
  kControlEventEditingChanged = 1u << 17,
  kControlEventEditingDidEnd = 1u << 18,
  kControlEventEditingDidEndOnExit = 1u << 19,
  kControlEventAllTouchEvents = 0x0FFFu,
  kControlEventAllEditingEvents = 0xF0000u,
  kControlEventAllEvents = 0xFFFFFFFFu,
};

class Control : public View {
 public:
  // The sender is the control. Capture the target weakly.
  using Action = std::function<void(Control& sender)>;

  using View::View;
  std::string_view className() const override { return "Control"; }

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);
  bool isSelected() const { return selected_; }
  void setSelected(bool selected);
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool highlighted);
  unsigned state() const;

  // `target` only identifies the registration for removeTarget; it may be null.
  void addTarget(const void* target, Action action, unsigned events);
  // Removes the target's actions for those events (a null target removes every action of them).
  void removeTarget(const void* target, unsigned events);
  unsigned allControlEvents() const;
  // Calls the actions registered for any of the events, in the order they were added.
  void sendActionsForControlEvents(unsigned events);

  bool takesTouches() const override;

 private:
  struct Registration {
    const void* target;
    Action action;
    unsigned events;
  };
  bool enabled_ = true;
  bool selected_ = false;
  bool highlighted_ = false;
  std::vector<Registration> registrations_;
};

}  // namespace platform
