#include "platform/ui/storyboard.h"


#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {

Mutex& registryMutex() {
  static Mutex m;
  return m;
}
std::map<std::string, std::shared_ptr<Storyboard>, std::less<>>& registry() REQUIRES(registryMutex()) {
  static std::map<std::string, std::shared_ptr<Storyboard>, std::less<>> r;
  return r;
}

}  // namespace

void Storyboard::registerStoryboard(const std::shared_ptr<Storyboard>& storyboard) {
  if (!storyboard) return;
  MutexLock lock(registryMutex());
  registry()[storyboard->name()] = storyboard;
}

std::shared_ptr<Storyboard> Storyboard::named(std::string_view name) {
  MutexLock lock(registryMutex());
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

void Storyboard::unregisterAll() {
  MutexLock lock(registryMutex());
  registry().clear();
}

void Storyboard::addViewController(std::string identifier, Factory factory) {
  factories_[std::move(identifier)] = std::move(factory);
}

void Storyboard::addSegue(SegueDefinition segue) {
  auto key = segue.identifier;
  segues_[std::move(key)] = std::move(segue);
}

std::shared_ptr<ViewController> Storyboard::instantiateInitialViewController() {
  if (initial_.empty()) return nullptr;
  return instantiateViewControllerWithIdentifier(initial_);
}

std::shared_ptr<ViewController> Storyboard::instantiateViewControllerWithIdentifier(std::string_view identifier) {
  auto it = factories_.find(identifier);
  std::shared_ptr<ViewController> controller = it == factories_.end() || !it->second ? nullptr : it->second();
  if (!controller) {
    throw Exception(
        std::string(kInvalidArgumentException),
        format("Storyboard (%@) doesn't contain a view controller with identifier '%@'", name_, identifier));
  }
  controller->storyboard_ = shared_from_this();
  controller->storyboardIdentifier_ = std::string(identifier);
  return controller;
}

const SegueDefinition* Storyboard::segueWithIdentifier(std::string_view identifier) const {
  auto it = segues_.find(identifier);
  return it == segues_.end() ? nullptr : &it->second;
}

}  // namespace platform
