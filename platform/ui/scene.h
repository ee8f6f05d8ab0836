// Window scenes and their delegates. A scene posts kSceneWillConnectNotification (object: the
// scene) when it connects; URLs handed to a scene reach its delegate's scene:openURLContexts:
// through the object runtime, as application delegate callbacks do (application.h). Main thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "platform/runtime/object.h"

namespace platform {

namespace runtime {
class Class;
}

class Scene;

inline constexpr std::string_view kSceneWillConnectNotification = "UISceneWillConnectNotification";
inline constexpr std::string_view kSceneOpenURLContextsSelector = "scene:openURLContexts:";

// An URL handed to a scene, with the options it came with.
struct OpenURLContext {
  std::string url;
  Value::Dictionary options;
  friend bool operator==(const OpenURLContext&, const OpenURLContext&) = default;
};

// The scene delegate protocol ("UISceneDelegate"); every callback is optional.
class SceneDelegate : public virtual runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "UISceneDelegate";

  // Of the runtime class that answers every callback; a subclass may declare a narrower one.
  SceneDelegate();
  ~SceneDelegate() override = default;

  virtual void sceneOpenURLContexts(Scene& /*scene*/, const std::vector<OpenURLContext>& /*contexts*/) {}
};

// The class of plain SceneDelegate objects, and of scene delegate types that declare theirs.
std::shared_ptr<const runtime::Class> sceneDelegateBaseClass();
std::shared_ptr<const runtime::Class> sceneDelegateClass(std::string_view name, std::size_t instanceSize,
                                                         std::initializer_list<std::string_view> selectors);

class Scene : public virtual runtime::Object, public std::enable_shared_from_this<Scene> {
 public:
  // The delegate is held strongly, as the platform's scenes do.
  std::shared_ptr<SceneDelegate> delegate() const;
  void setDelegate(std::shared_ptr<SceneDelegate> delegate);

  // Posts kSceneWillConnectNotification; the scene is connected from then on.
  void connect();
  void disconnect();
  // The connected scene at this address (a notification's object), or null.
  static std::shared_ptr<Scene> connectedScene(const void* object);

  // Hands URLs to the delegate when its class implements scene:openURLContexts:.
  void openURLContexts(const std::vector<OpenURLContext>& contexts);

 private:
  mutable Mutex mutex_;
  std::shared_ptr<SceneDelegate> delegate_ GUARDED_BY(mutex_);
};

}  // namespace platform
