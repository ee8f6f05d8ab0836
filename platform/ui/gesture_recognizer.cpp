#include "platform/ui/gesture_recognizer.h"

#include <algorithm>

#include "platform/ui/view.h"

namespace platform {

GestureRecognizer::GestureRecognizer(const void* target, Action action) { addTarget(target, std::move(action)); }

GestureRecognizer::~GestureRecognizer() = default;

void GestureRecognizer::addTarget(const void* target, Action action) {
  if (action) registrations_.push_back(Registration{target, std::move(action)});
}

void GestureRecognizer::removeTarget(const void* target) {
  registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                      [&](const Registration& r) { return target == nullptr || r.target == target; }),
                       registrations_.end());
}

Point GestureRecognizer::locationInView(const View* view) const {
  if (!view) return location_;
  return view->convertPointFromView(location_, nullptr);
}

void GestureRecognizer::transition(GestureRecognizerState state) {
  state_ = state;
  if (state == GestureRecognizerState::Possible || state == GestureRecognizerState::Failed) return;
  // Actions may remove the recognizer from its view, which may hold its last reference.
  auto keep = weak_from_this().lock();
  std::vector<Action> actions;
  for (const auto& r : registrations_) actions.push_back(r.action);
  for (auto& a : actions) a(*this);
}

}  // namespace platform
