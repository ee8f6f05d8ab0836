#include "platform/ui/scene.h"

#include <algorithm>
#include <functional>

#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runtime/class.h"
#include "platform/runtime/message.h"
#include "platform/ui/application_delegate_class.h"

namespace platform {

namespace {

struct Connected {
  Mutex mutex;
  std::vector<std::weak_ptr<Scene>> scenes GUARDED_BY(mutex);
};

Connected& connected() {
  static auto* c = new Connected;
  return *c;
}

}  // namespace

std::shared_ptr<const runtime::Class> sceneDelegateBaseClass() {
  static const auto cls = [] {
    runtime::ClassDefinition d;
    d.name = "SceneDelegate";
    d.superclass = responderClass();
    d.protocols.emplace(SceneDelegate::kProtocolName);
    d.instanceMethods.emplace(
        kSceneOpenURLContextsSelector,
        runtime::implementation([](SceneDelegate& delegate, Scene& scene, const std::vector<OpenURLContext>& contexts) {
          delegate.sceneOpenURLContexts(scene, contexts);
        }));
    return runtime::registerClassOnce(std::move(d));
  }();
  return cls;
}

std::shared_ptr<const runtime::Class> sceneDelegateClass(std::string_view name, std::size_t instanceSize,
                                                         std::initializer_list<std::string_view> selectors) {
  return runtime::classWithMethodsOf(name, responderClass(), instanceSize, *sceneDelegateBaseClass(), selectors);
}

SceneDelegate::SceneDelegate() { runtime::setClass(*this, sceneDelegateBaseClass()); }

std::shared_ptr<SceneDelegate> Scene::delegate() const {
  MutexLock lock(mutex_);
  return delegate_;
}

void Scene::setDelegate(std::shared_ptr<SceneDelegate> delegate) {
  MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

void Scene::connect() {
  {
    Connected& c = connected();
    MutexLock lock(c.mutex);
    std::erase_if(c.scenes, [](const std::weak_ptr<Scene>& s) { return s.expired(); });
    c.scenes.push_back(weak_from_this());
  }
  Notification n;
  n.name = std::string(kSceneWillConnectNotification);
  n.object = this;
  n.objectRef = shared_from_this();
  NotificationCenter::defaultCenter().post(std::move(n));
}

void Scene::disconnect() {
  Connected& c = connected();
  MutexLock lock(c.mutex);
  std::erase_if(c.scenes, [this](const std::weak_ptr<Scene>& s) {
    auto scene = s.lock();
    return !scene || scene.get() == this;
  });
}

std::shared_ptr<Scene> Scene::connectedScene(const void* object) {
  Connected& c = connected();
  MutexLock lock(c.mutex);
  for (const auto& weak : c.scenes) {
    if (auto scene = weak.lock(); scene && scene.get() == object) return scene;
  }
  return nullptr;
}

void Scene::openURLContexts(const std::vector<OpenURLContext>& contexts) {
  auto d = delegate();
  if (!d || !runtime::respondsToSelector(*d, kSceneOpenURLContextsSelector)) return;
  runtime::call(*d, kSceneOpenURLContextsSelector, std::ref(*this), contexts);
}

}  // namespace platform
