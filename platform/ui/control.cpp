#include "platform/ui/control.h"

#include <algorithm>

namespace platform {

void Control::setEnabled(bool enabled) { enabled_ = enabled; }

void Control::setSelected(bool selected) { selected_ = selected; }

void Control::setHighlighted(bool highlighted) { highlighted_ = highlighted; }

unsigned Control::state() const {
  unsigned s = kControlStateNormal;
  if (highlighted_) s |= kControlStateHighlighted;
  if (!enabled_) s |= kControlStateDisabled;
  if (selected_) s |= kControlStateSelected;
  return s;
}

void Control::addTarget(const void* target, Action action, unsigned events) {
  if (!action || events == 0) return;
  registrations_.push_back(Registration{target, std::move(action), events});
}

void Control::removeTarget(const void* target, unsigned events) {
  for (auto it = registrations_.begin(); it != registrations_.end();) {
    if (target == nullptr || it->target == target) {
      it->events &= ~events;
      if (it->events == 0) {
        it = registrations_.erase(it);
        continue;
      }
    }
    ++it;
  }
}

unsigned Control::allControlEvents() const {
  unsigned all = 0;
  for (const auto& r : registrations_) all |= r.events;
  return all;
}

void Control::sendActionsForControlEvents(unsigned events) {
  // A copy: an action may add or remove targets, or release the last other owner of the control.
  auto keep = weak_from_this().lock();
  std::vector<Action> actions;
  for (const auto& r : registrations_) {
    if (r.events & events) actions.push_back(r.action);
  }
  for (auto& a : actions) a(*this);
}

bool Control::takesTouches() const { return enabled_ && View::takesTouches(); }

}  // namespace platform
