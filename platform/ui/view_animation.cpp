// View animations. Nothing moves gradually here: the final values apply at once and the
// animation only decides when its completion runs and whether its views take touches meanwhile.
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/ui/view.h"
#include "platform/ui/view_internal.h"

namespace platform {

namespace {

struct RunningAnimation {
  std::vector<std::weak_ptr<View>> views;
  std::vector<const View*> identities;
  unsigned options = 0;
  std::function<void(bool)> completion;
  bool done = false;
};

// Main thread only, like the views themselves.
std::vector<std::shared_ptr<RunningAnimation>>& running() {
  static std::vector<std::shared_ptr<RunningAnimation>> list;
  return list;
}
std::vector<RunningAnimation*>& recording() {
  static std::vector<RunningAnimation*> stack;
  return stack;
}

void finish(const std::shared_ptr<RunningAnimation>& animation, bool finished) {
  if (animation->done) return;
  animation->done = true;
  auto& list = running();
  list.erase(std::remove(list.begin(), list.end(), animation), list.end());
  if (animation->completion) {
    auto completion = std::move(animation->completion);
    completion(finished);
  }
}

}  // namespace

void View::noteAnimatableChange() {
  auto& stack = recording();
  if (stack.empty()) return;
  RunningAnimation* a = stack.back();
  if (std::find(a->identities.begin(), a->identities.end(), this) != a->identities.end()) return;
  auto weak = weak_from_this();
  if (weak.expired()) return;
  a->identities.push_back(this);
  a->views.push_back(std::move(weak));
}

void View::animate(double duration, const std::function<void()>& animations, std::function<void(bool)> completion) {
  animate(duration, 0, kAnimationOptionNone, animations, std::move(completion));
}

void View::animate(double duration, double delay, unsigned options, const std::function<void()>& animations,
                   std::function<void(bool)> completion) {
  auto animation = std::make_shared<RunningAnimation>();
  animation->options = options;
  animation->completion = std::move(completion);
  recording().push_back(animation.get());
  try {
    if (animations) animations();
  } catch (...) {
    recording().pop_back();
    throw;
  }
  recording().pop_back();
  if (animation->views.empty()) {
    DispatchQueue::main()->async([animation] { finish(animation, true); });
    return;
  }
  running().push_back(animation);
  if (options & kAnimationOptionRepeat) return;
  double total = std::max(0.0, delay) + std::max(0.0, duration);
  DispatchQueue::main()->after(total, [animation] { finish(animation, true); });
}

namespace {
// Compares live views only: the address of a destroyed view may belong to a new one.
bool animates(const RunningAnimation& a, const View* view) {
  return std::any_of(a.views.begin(), a.views.end(), [&](const std::weak_ptr<View>& w) {
    auto v = w.lock();
    return v.get() == view;
  });
}
}  // namespace

bool View::hasRunningAnimations() const {
  for (const auto& a : running()) {
    if (animates(*a, this)) return true;
  }
  return false;
}

namespace view_internal {

void subtreeLeftWindow(const std::vector<View*>& views) {
  std::vector<std::shared_ptr<RunningAnimation>> ended;
  for (const auto& a : running()) {
    bool touched = std::any_of(views.begin(), views.end(), [&](const View* v) { return animates(*a, v); });
    if (!touched) continue;
    bool anyInWindow = std::any_of(a->views.begin(), a->views.end(), [](const std::weak_ptr<View>& w) {
      auto v = w.lock();
      return v && v->window() != nullptr;
    });
    if (!anyInWindow) ended.push_back(a);
  }
  for (auto& a : ended) {
    // Marked now so the views take touches again at once; the completion runs as the platform
    // runs it, from the main queue.
    auto& list = running();
    list.erase(std::remove(list.begin(), list.end(), a), list.end());
    DispatchQueue::main()->async([a] { finish(a, false); });
  }
}

bool animationBlocksTouches(const View& view) {
  for (const auto& a : running()) {
    if (a->options & kAnimationOptionAllowUserInteraction) continue;
    for (const auto& w : a->views) {
      auto v = w.lock();
      if (v && view.isDescendantOfView(*v)) return true;
    }
  }
  return false;
}

}  // namespace view_internal

}  // namespace platform
