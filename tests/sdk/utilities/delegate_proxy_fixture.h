// An application (or scene) whose delegate records its callbacks, a bundle whose Info.plist the
// test chooses, interceptors that record theirs, and the swizzlers' process-wide state cleared
// around each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/runtime/message.h"
#include "platform/testing/testing.h"
#include "platform/ui/application.h"
#include "platform/ui/application_delegate_class.h"
#include "platform/ui/scene.h"
#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "sdk/utilities/utilities/vul_scene_delegate_swizzler.h"

namespace delegate_proxy_testing {

using Log = std::vector<std::string>;
using platform::Application;
using platform::BackgroundFetchResult;
using platform::Value;

// Writes "<name> <callback>" to a shared log and answers `result`.
class Recorder {
 public:
  Recorder(std::string name, std::shared_ptr<Log> log) : name_(std::move(name)), log_(std::move(log)) {}
  bool result = false;

 protected:
  bool record(std::string what) {
    log_->push_back(name_ + " " + std::move(what));
    return result;
  }

 private:
  std::string name_;
  std::shared_ptr<Log> log_;
};

// Answers every callback it is sent (the runtime class of a plain delegate), or, given a class,
// only that class's.
class RecordingDelegate : public platform::ApplicationDelegate, public Recorder {
 public:
  using Recorder::Recorder;
  BackgroundFetchResult fetchResult = BackgroundFetchResult::NoData;

  bool applicationOpenURLOptions(Application&, const std::string& url, const Value::Dictionary&) override {
    return record("openURL:options: " + url);
  }
  bool applicationOpenURLSourceApplicationAnnotation(Application&, const std::string& url, const std::string& source,
                                                     const Value&) override {
    return record("openURL:sourceApplication: " + url + " " + source);
  }
  bool applicationContinueUserActivityRestorationHandler(Application&, const Value::Dictionary& activity,
                                                         std::function<void(const Value&)>) override {
    return record("continueUserActivity: " + activity.at("type").string());
  }
  void applicationHandleEventsForBackgroundURLSessionCompletionHandler(Application&, const std::string& identifier,
                                                                       std::function<void()> completion) override {
    record("handleEventsForBackgroundURLSession: " + identifier);
    completion();
  }
  void applicationDidRegisterForRemoteNotificationsWithDeviceToken(Application&, const platform::Data& token) override {
    record("didRegister: " + std::to_string(token.size()));
  }
  void applicationDidFailToRegisterForRemoteNotificationsWithError(Application&, const platform::Error&) override {
    record("didFailToRegister");
  }
  void applicationDidReceiveRemoteNotification(Application&, const Value::Dictionary&) override {
    record("didReceiveRemoteNotification");
  }
  void applicationDidReceiveRemoteNotificationFetchCompletionHandler(
      Application&, const Value::Dictionary&, std::function<void(BackgroundFetchResult)> completion) override {
    record("didReceiveRemoteNotification:fetchCompletionHandler:");
    completion(fetchResult);
  }
};

class RecordingSceneDelegate : public platform::SceneDelegate, public Recorder {
 public:
  using Recorder::Recorder;
  void sceneOpenURLContexts(platform::Scene&, const std::vector<platform::OpenURLContext>& contexts) override {
    record("scene:openURLContexts: " + (contexts.empty() ? std::string() : contexts.front().url));
  }
};

// Runtime classes of application delegates that implement all the URL and notification
// callbacks, or all but application:openURL:options: and the fetch variant.
inline std::shared_ptr<const platform::runtime::Class> fullDelegateClass() {
  return platform::applicationDelegateClass(
      "SWZFullDelegate", sizeof(RecordingDelegate),
      {platform::kApplicationOpenURLOptionsSelector, platform::kApplicationOpenURLSourceApplicationAnnotationSelector,
       platform::kApplicationContinueUserActivityRestorationHandlerSelector,
       platform::kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector,
       platform::kApplicationDidRegisterForRemoteNotificationsWithDeviceTokenSelector,
       platform::kApplicationDidFailToRegisterForRemoteNotificationsWithErrorSelector,
       platform::kApplicationDidReceiveRemoteNotificationSelector,
       platform::kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector});
}
inline std::shared_ptr<const platform::runtime::Class> olderDelegateClass() {
  return platform::applicationDelegateClass(
      "SWZOlderDelegate", sizeof(RecordingDelegate),
      {platform::kApplicationOpenURLSourceApplicationAnnotationSelector,
       platform::kApplicationDidReceiveRemoteNotificationSelector});
}

class DelegateProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VULLoggerResetForTesting();
    VULLoggerSetLevel(VULLoggerLevelDebug);
    resetSwizzlers();
    log_ = std::make_shared<Log>();
    setInfo({});
  }
  void TearDown() override {
    resetSwizzlers();
    Application::reset();
    platform::Bundle::setMainPath({});
    VULLoggerResetForTesting();
  }

  static void resetSwizzlers() {
    VULAppDelegateSwizzler::resetForTesting();
    VULSceneDelegateSwizzler::clearInterceptors();
    VULSceneDelegateSwizzler::resetForTesting();
  }

  // A fresh main bundle whose Info.plist holds `info`.
  void setInfo(const Value::Dictionary& info, const std::string& bundleName = "Focus.app") {
    const auto bundle = platform::Home::temporary() / bundleName;
    std::filesystem::remove_all(bundle);
    std::filesystem::create_directories(bundle);
    auto bytes = platform::PropertyList::write(Value(info), platform::PropertyList::Format::XML);
    std::ofstream(bundle / "Info.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    platform::Bundle::setMainPath(bundle);
  }

  // Launches an application whose delegate is of `cls` (null: a plain delegate's class).
  std::shared_ptr<RecordingDelegate> launch(std::shared_ptr<const platform::runtime::Class> cls) {
    auto delegate = std::make_shared<RecordingDelegate>("app", log_);
    if (cls) platform::runtime::setClass(*delegate, cls);
    platform::ApplicationDelegateRegistry::registerClass("SWZTestDelegate", [delegate] { return delegate; });
    app_ = Application::launch("SWZTestDelegate");
    return delegate;
  }

  std::shared_ptr<RecordingDelegate> interceptor(std::string name) {
    return std::make_shared<RecordingDelegate>(std::move(name), log_);
  }

  std::vector<std::string> lines() {
    platform::testing::drain(VULLoggerQueue());
    return capture_.logs();
  }
  bool logged(std::string_view fragment) {
    for (const auto& line : lines()) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  std::shared_ptr<Log> log_;
  std::shared_ptr<Application> app_;
  platform::testing::LogCapture capture_;
};

// Lets a failed assertion return to its caller, recording its description.
class ReturningAssertions {
 public:
  ReturningAssertions() {
    previous_ = platform::AssertionHandler::setCurrentHandler(
        [this](std::string_view, std::string_view description) { failures.emplace_back(description); });
  }
  ~ReturningAssertions() { platform::AssertionHandler::setCurrentHandler(std::move(previous_)); }
  std::vector<std::string> failures;

 private:
  platform::AssertionHandler::Handler previous_;
};

}  // namespace delegate_proxy_testing
