#include "sdk/utilities/utilities/vul_scene_delegate_swizzler.h"

#include <gtest/gtest.h>

#include "delegate_proxy_fixture.h"
#include "platform/foundation/system_info.h"

namespace delegate_proxy_testing {
namespace {

using platform::runtime::getClass;

class VULSceneDelegateSwizzlerTest : public DelegateProxyTest {
 protected:
  std::shared_ptr<platform::Scene> connectScene() {
    auto scene = std::make_shared<platform::Scene>();
    delegate_ = std::make_shared<RecordingSceneDelegate>("delegate", log_);
    scene->setDelegate(delegate_);
    scene->connect();
    return scene;
  }
  std::shared_ptr<RecordingSceneDelegate> delegate_;
};

TEST_F(VULSceneDelegateSwizzlerTest, ConnectingScenesGetProxiedDelegatesThatCallInterceptorsFirst) {
  auto spy = std::make_shared<RecordingSceneDelegate>("spy", log_);
  ASSERT_TRUE(VULSceneDelegateSwizzler::registerSceneDelegateInterceptor(spy));
  // An application-delegate interceptor is not a scene delegate and is never called.
  auto appSpy = std::make_shared<RecordingDelegate>("appSpy", log_);
  VULSceneDelegateSwizzler::interceptors().setObject(std::make_shared<VULSceneZeroingWeakContainer>(appSpy), "VUL_x");

  auto early = connectScene();
  auto earlyDelegate = delegate_;
  VULSceneDelegateSwizzler::proxyOriginalSceneDelegate();
  auto scene = connectScene();

  EXPECT_EQ(getClass(*earlyDelegate), platform::sceneDelegateBaseClass());
  auto cls = getClass(*delegate_);
  ASSERT_TRUE(cls);
  EXPECT_TRUE(cls->name().starts_with("VUL_SceneDelegate-")) << cls->name();
  EXPECT_TRUE(logged("[VidezuUtilities/SceneDelegateSwizzler][I-SWZ001114] Successfully created Scene Delegate Proxy"));

  scene->openURLContexts({{"focus://scene", {}}});
  EXPECT_EQ(*log_, (Log{"spy scene:openURLContexts: focus://scene", "delegate scene:openURLContexts: focus://scene"}));

  // Connecting again leaves a proxied delegate as it is.
  scene->connect();
  EXPECT_EQ(getClass(*delegate_), cls);
}

TEST_F(VULSceneDelegateSwizzlerTest, SwitchedOffInInfoPlistNothingIsObserved) {
  setInfo({{"VuduzaraAppDelegateProxyEnabled", Value(false)}});
  EXPECT_FALSE(VULSceneDelegateSwizzler::isSceneDelegateProxyEnabled());
  VULSceneDelegateSwizzler::proxyOriginalSceneDelegate();
  connectScene();
  EXPECT_EQ(getClass(*delegate_), platform::sceneDelegateBaseClass());
}

TEST_F(VULSceneDelegateSwizzlerTest, BelowTheFirstSystemWithScenesTheProxyDoesNothing) {
  VULSceneDelegateSwizzler::registerSceneDelegateInterceptor(std::make_shared<RecordingSceneDelegate>("spy", log_));
  VULSceneDelegateSwizzler::proxyOriginalSceneDelegate();
  auto scene = connectScene();
  ASSERT_TRUE(getClass(*delegate_)->name().starts_with("VUL_"));

  auto facts = platform::SystemInfo::facts();
  facts.systemVersion = "12.4";
  platform::SystemInfo::ScopedFacts older(facts);
  scene->openURLContexts({{"focus://old", {}}});
  EXPECT_TRUE(log_->empty());
}

TEST_F(VULSceneDelegateSwizzlerTest, RegistrationErrorsUseTheSceneTexts) {
  ReturningAssertions assertions;
  EXPECT_FALSE(VULSceneDelegateSwizzler::registerSceneDelegateInterceptor(nullptr));
  EXPECT_FALSE(VULSceneDelegateSwizzler::registerSceneDelegateInterceptor(std::make_shared<RecordingDelegate>("a", log_)));
  VULSceneDelegateSwizzler::unregisterSceneDelegateInterceptorWithID(std::nullopt);
  VULSceneDelegateSwizzler::unregisterSceneDelegateInterceptorWithID("VUL_0x1");
  EXPECT_EQ(assertions.failures,
            (std::vector<std::string>{"SceneDelegateProxy cannot add nil interceptor",
                                      "SceneDelegateProxy interceptor does not conform to UIApplicationDelegate",
                                      "SceneDelegateProxy cannot unregister nil interceptor ID."}));
  for (const char* line : {"[I-SWZ001100] SceneDelegateProxy cannot add nil interceptor.",
                           "[I-SWZ001101] SceneDelegateProxy interceptor does not conform to UIApplicationDelegate",
                           "[I-SWZ001103] SceneDelegateProxy cannot unregister empty interceptor ID.",
                           "[I-SWZ001104] SceneDelegateProxy cannot unregister interceptor that was not registered. "
                           "Interceptor ID VUL_0x1"}) {
    EXPECT_TRUE(logged(line)) << line;
  }
}

}  // namespace
}  // namespace delegate_proxy_testing
