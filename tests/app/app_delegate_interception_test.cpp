// The SDK's application-delegate interception on the app's real delegate.
#include "focus_app_fixture.h"
#include "platform/runtime/message.h"
#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"

namespace {

class Interceptor : public platform::ApplicationDelegate {
 public:
  std::vector<std::string> heard;
  bool applicationOpenURLOptions(platform::Application&, const std::string& url,
                                 const platform::Value::Dictionary&) override {
    heard.push_back("open " + url);
    return true;
  }
  bool applicationOpenURLSourceApplicationAnnotation(platform::Application&, const std::string& url,
                                                     const std::string&, const platform::Value&) override {
    heard.push_back("open (older) " + url);
    return true;
  }
  void applicationHandleEventsForBackgroundURLSessionCompletionHandler(platform::Application&,
                                                                       const std::string& identifier,
                                                                       std::function<void()> completion) override {
    heard.push_back("session " + identifier);
    completion();
  }
};

class AppDelegateInterceptionTest : public FocusAppTest {
 protected:
  void TearDown() override {
    VULAppDelegateSwizzler::resetForTesting();
    FocusAppTest::TearDown();
  }
};

TEST_F(AppDelegateInterceptionTest, CallbacksTheAppNeverImplementedReachAnInterceptor) {
  launch();
  auto delegate = app_->delegate();
  // Analytics, started by the app's configure, already proxies the delegate; its own
  // interceptor hears URLs without claiming them, so the app still answers none.
  EXPECT_TRUE(platform::runtime::getClass(*delegate)->name().starts_with("VUL_AppDelegate-"));
  EXPECT_FALSE(app_->deliverOpenURL("focus://start"));

  auto interceptor = std::make_shared<Interceptor>();
  VULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(platform::runtime::getClass(*delegate)->name().starts_with("VUL_AppDelegate-"));
  EXPECT_EQ(app_->delegate(), delegate);

  // The app's delegate has no application:openURL:options:, so the older callback carries it.
  EXPECT_TRUE(app_->deliverOpenURL("focus://start"));
  int completed = 0;
  app_->deliverBackgroundURLSessionEvents("com.vul.network.background-upload-1", [&] { ++completed; });
  EXPECT_EQ(interceptor->heard, (std::vector<std::string>{"open (older) focus://start",
                                                          "session com.vul.network.background-upload-1"}));
  EXPECT_EQ(completed, 1);
}

}  // namespace
