#include "sdk/analytics/common/apm_app_delegate_interceptor.h"

#include <gtest/gtest.h>

#include "platform/testing/testing.h"
#include "platform/ui/application.h"
#include "sdk/utilities/utilities/vul_network_url_session.h"

namespace {

TEST(APMAppDelegateInterceptorTest, BackgroundSessionEventsReachTheHTTPClient) {
  auto application = std::make_shared<platform::Application>();
  auto interceptor = APMAppDelegateInterceptor::sharedInstance();
  int ours = 0;
  int foreign = 0;
  const std::string identifier = "com.vul.network.background-upload-relaunched";
  interceptor->applicationHandleEventsForBackgroundURLSessionCompletionHandler(*application, identifier,
                                                                               [&] { ++ours; });
  interceptor->applicationHandleEventsForBackgroundURLSessionCompletionHandler(*application, "com.other.session",
                                                                               [&] { ++foreign; });
  // The client keeps the system's block until the session's events are over.
  platform::testing::runUntilIdle();
  EXPECT_EQ(ours, 0);
  VULNetworkURLSession::initWithNetworkLoggerDelegate({})->callSystemCompletionHandler(identifier);
  VULNetworkURLSession::initWithNetworkLoggerDelegate({})->callSystemCompletionHandler("com.other.session");
  platform::testing::runUntilIdle();
  EXPECT_EQ(ours, 1);
  EXPECT_EQ(foreign, 0);
}

}  // namespace
