#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "delegate_proxy_fixture.h"
#include "platform/foundation/exception.h"

namespace delegate_proxy_testing {
namespace {

using platform::runtime::getClass;

class VULAppDelegateSwizzlerTest : public DelegateProxyTest {};

TEST_F(VULAppDelegateSwizzlerTest, InterceptorsAreRegisteredOnceByAddressAndUnregistered) {
  auto a = interceptor("a");
  auto id = VULAppDelegateSwizzler::registerAppDelegateInterceptor(a);
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, platform::format("VUL_%p", platform::runtime::identity(*a)));
  EXPECT_EQ(VULAppDelegateSwizzler::registerAppDelegateInterceptor(a), id);
  EXPECT_EQ(VULAppDelegateSwizzler::interceptors().count(), 1u);

  VULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
  EXPECT_EQ(VULAppDelegateSwizzler::interceptors().count(), 0u);
  VULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
  EXPECT_TRUE(logged("[VidezuUtilities/AppDelegateSwizzler][I-SWZ001004] AppDelegateProxy cannot unregister "
                     "interceptor that was not registered. Interceptor ID " +
                     *id));
}

TEST_F(VULAppDelegateSwizzlerTest, CallerErrorsFailAnAssertionThenLogAndFailSoftly) {
  // The default handler raises.
  EXPECT_THROW(VULAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr), platform::Exception);

  struct Case {
    const char* label;
    std::function<void()> call;
    const char* assertion;
    const char* line;
  };
  const Case cases[] = {
      {"nil interceptor", [] { EXPECT_FALSE(VULAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr)); },
       "AppDelegateProxy cannot add nil interceptor", "[I-SWZ001000] AppDelegateProxy cannot add nil interceptor."},
      {"not a delegate",
       [] {
         auto stranger = std::make_shared<RecordingSceneDelegate>("s", std::make_shared<Log>());
         EXPECT_FALSE(VULAppDelegateSwizzler::registerAppDelegateInterceptor(stranger));
       },
       "AppDelegateProxy interceptor does not conform to UIApplicationDelegate",
       "[I-SWZ001001] AppDelegateProxy interceptor does not conform to UIApplicationDelegate"},
      {"nil ID", [] { VULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(std::nullopt); },
       "AppDelegateProxy cannot unregister nil interceptor ID.",
       "[I-SWZ001003] AppDelegateProxy cannot unregister empty interceptor ID."},
      {"empty ID", [] { VULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(std::string()); },
       "AppDelegateProxy cannot unregister empty interceptor ID.", "[I-SWZ001004]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ReturningAssertions assertions;
    c.call();
    EXPECT_EQ(assertions.failures, std::vector<std::string>{c.assertion});
    EXPECT_TRUE(logged(c.line));
  }
  EXPECT_EQ(VULAppDelegateSwizzler::interceptors().count(), 0u);
}

TEST_F(VULAppDelegateSwizzlerTest, TheDelegateBecomesAnInstanceOfAGeneratedSubclassAndKeepsItsIdentity) {
  auto delegate = launch(fullDelegateClass());
  VULAppDelegateSwizzler::proxyOriginalDelegate();

  auto cls = getClass(*delegate);
  ASSERT_TRUE(cls);
  EXPECT_TRUE(cls->name().starts_with("VUL_SWZFullDelegate-")) << cls->name();
  EXPECT_EQ(cls->superclass(), fullDelegateClass());
  EXPECT_EQ(platform::runtime::classNamed(cls->name()), cls);
  EXPECT_EQ(app_->delegate(), delegate);
  EXPECT_EQ(VULAppDelegateSwizzler::originalDelegate(), delegate);
  EXPECT_EQ(platform::runtime::describe(*delegate),
            platform::format("<SWZFullDelegate: %p>", platform::runtime::identity(*delegate)));
  EXPECT_TRUE(logged("[I-SWZ001008] Successfully created App Delegate Proxy automatically. To disable the proxy, set "
                     "the flag VidezuUtilitiesAppDelegateProxyEnabled to NO (Boolean) in the Info.plist"));

  // Once per process: a second call makes no second subclass.
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(getClass(*delegate), cls);
}

TEST_F(VULAppDelegateSwizzlerTest, InfoPlistSwitchesTurnTheProxyOff) {
  struct Case {
    const char* label;
    Value::Dictionary info;
    bool enabled;
  };
  const Case cases[] = {
      {"absent", {}, true},
      {"utilities switch NO", {{"VidezuUtilitiesAppDelegateProxyEnabled", Value(false)}}, false},
      {"core switch 0", {{"VuduzaraAppDelegateProxyEnabled", Value(0)}}, false},
      {"the string NO counts as YES", {{"VidezuUtilitiesAppDelegateProxyEnabled", Value("NO")}}, true},
      {"both YES",
       {{"VuduzaraAppDelegateProxyEnabled", Value(true)}, {"VidezuUtilitiesAppDelegateProxyEnabled", Value(1)}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    setInfo(c.info);
    resetSwizzlers();
    capture_.clear();
    EXPECT_EQ(VULAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.enabled);
    auto delegate = launch(fullDelegateClass());
    VULAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(getClass(*delegate)->name().starts_with("VUL_"), c.enabled);
    EXPECT_EQ(logged("[I-SWZ001011] App Delegate Proxy is disabled. "), !c.enabled);
  }
}

TEST_F(VULAppDelegateSwizzlerTest, RefusalsLeaveTheDelegateAlone) {
  VULAppDelegateSwizzler::proxyAppDelegate(nullptr);
  EXPECT_TRUE(logged("[I-SWZ001014] App Delegate does not conform to UIApplicationDelegate protocol. "));

  // A delegate the runtime knows no class of cannot be subclassed.
  auto delegate = launch(fullDelegateClass());
  platform::runtime::setClass(*delegate, nullptr);
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_FALSE(getClass(*delegate));
  EXPECT_TRUE(logged("[I-SWZ001013] Cannot create App Delegate Proxy. "));

  // Nothing at all in an application extension.
  setInfo({}, "Widget.appex");
  resetSwizzlers();
  delegate = launch(fullDelegateClass());
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(getClass(*delegate), fullDelegateClass());
}

TEST_F(VULAppDelegateSwizzlerTest, EveryCallbackReachesTheInterceptorFirstThenTheApplication) {
  auto delegate = launch(fullDelegateClass());
  auto spy = interceptor("spy");
  VULAppDelegateSwizzler::registerAppDelegateInterceptor(spy);
  VULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();

  struct Case {
    std::function<void()> deliver;
    std::string callback;
  };
  const Case cases[] = {
      {[&] { app_->deliverOpenURL("focus://a"); }, "openURL:options: focus://a"},
      {[&] { app_->deliverUserActivity({{"type", Value("browsing")}}); }, "continueUserActivity: browsing"},
      {[&] { app_->deliverBackgroundURLSessionEvents("bg-1", [] {}); }, "handleEventsForBackgroundURLSession: bg-1"},
      {[&] { app_->deliverRemoteNotificationsDeviceToken(platform::Data(32, 7)); }, "didRegister: 32"},
      {[&] { app_->deliverRemoteNotificationsRegistrationError(platform::Error("d", 1)); }, "didFailToRegister"},
      {[&] { app_->deliverRemoteNotification({}, [](BackgroundFetchResult) {}); },
       "didReceiveRemoteNotification:fetchCompletionHandler:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.callback);
    log_->clear();
    c.deliver();
    EXPECT_EQ(*log_, (Log{"spy " + c.callback, "app " + c.callback}));
  }
  // The older open-URL callback is proxied as well.
  log_->clear();
  EXPECT_FALSE(platform::runtime::call<bool>(*delegate, platform::kApplicationOpenURLSourceApplicationAnnotationSelector,
                                             std::ref(*app_), std::string("focus://b"), std::string("src"), Value()));
  EXPECT_EQ(*log_, (Log{"spy openURL:sourceApplication: focus://b src", "app openURL:sourceApplication: focus://b src"}));
}

TEST_F(VULAppDelegateSwizzlerTest, EveryLiveInterceptorIsCalledAndDeadOnesAreRemoved) {
  launch(fullDelegateClass());
  auto a = interceptor("a");
  auto b = interceptor("b");
  auto gone = interceptor("gone");
  for (const auto& i : {a, b, gone}) VULAppDelegateSwizzler::registerAppDelegateInterceptor(i);
  const auto goneID = VULDelegateProxySupport::interceptorID(*gone);
  gone.reset();
  VULAppDelegateSwizzler::proxyOriginalDelegate();

  app_->deliverOpenURL("focus://x");
  std::sort(log_->begin(), log_->end());
  EXPECT_EQ(*log_, (Log{"a openURL:options: focus://x", "app openURL:options: focus://x", "b openURL:options: focus://x"}));
  EXPECT_EQ(VULAppDelegateSwizzler::interceptors().count(), 2u);
  EXPECT_TRUE(logged("[I-SWZ001010] AppDelegateProxy cannot find interceptor with ID " + goneID +
                     ". Removing the interceptor."));
}

TEST_F(VULAppDelegateSwizzlerTest, BooleanCallbacksAnswerYesWhenAnyoneDid) {
  struct Case {
    bool interceptor;
    bool application;
    bool expected;
  };
  for (const Case c : {Case{false, false, false}, Case{true, false, true}, Case{false, true, true},
                       Case{true, true, true}}) {
    SCOPED_TRACE(testing::Message() << c.interceptor << c.application);
    resetSwizzlers();
    auto delegate = launch(fullDelegateClass());
    delegate->result = c.application;
    auto spy = interceptor("spy");
    spy->result = c.interceptor;
    VULAppDelegateSwizzler::registerAppDelegateInterceptor(spy);
    VULAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(app_->deliverOpenURL("focus://x"), c.expected);
    EXPECT_EQ(app_->deliverUserActivity({{"type", Value("t")}}), c.expected);
  }
}

TEST_F(VULAppDelegateSwizzlerTest, ADelegateWithoutTheNewerOpenURLCallbackGetsNoProxyForIt) {
  auto delegate = launch(olderDelegateClass());
  auto spy = interceptor("spy");
  spy->result = true;
  VULAppDelegateSwizzler::registerAppDelegateInterceptor(spy);
  VULAppDelegateSwizzler::proxyOriginalDelegate();

  EXPECT_FALSE(platform::runtime::respondsToSelector(*delegate, platform::kApplicationOpenURLOptionsSelector));
  // The platform falls back to the older callback, which is proxied; only the interceptor says YES.
  EXPECT_TRUE(app_->deliverOpenURL("focus://y", {{"UIApplicationOpenURLOptionsSourceApplicationKey", Value("mail")}}));
  EXPECT_EQ(*log_, (Log{"spy openURL:sourceApplication: focus://y mail", "app openURL:sourceApplication: focus://y mail"}));

  // Callbacks the application never implemented reach the interceptor alone.
  log_->clear();
  EXPECT_TRUE(app_->deliverUserActivity({{"type", Value("t")}}));
  EXPECT_EQ(*log_, (Log{"spy continueUserActivity: t"}));
}

TEST_F(VULAppDelegateSwizzlerTest, BackgroundSessionCompletionIsHandedOnUnchanged) {
  launch(fullDelegateClass());
  VULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor("spy"));
  auto spy = interceptor("spy2");
  VULAppDelegateSwizzler::registerAppDelegateInterceptor(spy);
  VULAppDelegateSwizzler::proxyOriginalDelegate();

  int calls = 0;
  app_->deliverBackgroundURLSessionEvents("com.vul.network.background-upload-1", [&] { ++calls; });
  // The live interceptor and the application each called the one handler the system gave.
  EXPECT_EQ(calls, 2);
}

TEST_F(VULAppDelegateSwizzlerTest, FetchCompletionCombinesEveryResultOnce) {
  using R = BackgroundFetchResult;
  struct Case {
    const char* label;
    std::vector<R> interceptors;
    R application;
    R expected;
  };
  const Case cases[] = {
      {"failed and no data", {R::Failed}, R::NoData, R::NoData},
      {"any new data wins", {R::Failed, R::NewData}, R::NoData, R::NewData},
      {"all failed", {R::Failed, R::Failed}, R::Failed, R::Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    resetSwizzlers();
    auto delegate = launch(fullDelegateClass());
    delegate->fetchResult = c.application;
    std::vector<std::shared_ptr<RecordingDelegate>> spies;
    for (R r : c.interceptors) {
      spies.push_back(interceptor("spy"));
      spies.back()->fetchResult = r;
      VULAppDelegateSwizzler::registerAppDelegateInterceptor(spies.back());
    }
    VULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
    std::vector<R> completions;
    app_->deliverRemoteNotification({}, [&](R r) { completions.push_back(r); });
    // The combined result arrives on the main queue.
    EXPECT_TRUE(completions.empty());
    platform::testing::runUntilIdle();
    EXPECT_EQ(completions, std::vector<R>{c.expected});
  }

  // Nobody to report: failed.
  launch(fullDelegateClass());
  auto proxy = VULAppDelegateSwizzler::donorClass()->instanceMethod(
      "application:donor_didReceiveRemoteNotification:fetchCompletionHandler:");
  ASSERT_TRUE(proxy);
  VULAppDelegateSwizzler::clearInterceptors();
  auto bare = std::make_shared<RecordingDelegate>("bare", log_);
  std::vector<R> completions;
  (*proxy)(*bare, {std::ref(*app_), Value::Dictionary{}, std::function<void(R)>([&](R r) { completions.push_back(r); })});
  platform::testing::runUntilIdle();
  EXPECT_EQ(completions, std::vector<R>{R::Failed});
}

TEST_F(VULAppDelegateSwizzlerTest, RemoteNotificationMethodsFollowWhatTheDelegateImplements) {
  auto delegate = launch(olderDelegateClass());
  auto spy = interceptor("spy");
  VULAppDelegateSwizzler::registerAppDelegateInterceptor(spy);
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  // Before the remote-notification stage the interceptor hears none of them.
  app_->deliverRemoteNotification({});
  EXPECT_EQ(*log_, (Log{"app didReceiveRemoteNotification"}));

  VULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  EXPECT_FALSE(platform::runtime::respondsToSelector(
      *delegate, platform::kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector));
  log_->clear();
  std::vector<BackgroundFetchResult> completions;
  app_->deliverRemoteNotification({}, [&](BackgroundFetchResult r) { completions.push_back(r); });
  EXPECT_EQ(*log_, (Log{"spy didReceiveRemoteNotification", "app didReceiveRemoteNotification"}));
  EXPECT_EQ(completions, std::vector<BackgroundFetchResult>{BackgroundFetchResult::NoData});
  log_->clear();
  app_->deliverRemoteNotificationsDeviceToken(platform::Data(4, 1));
  EXPECT_EQ(*log_, (Log{"spy didRegister: 4"}));
}

TEST_F(VULAppDelegateSwizzlerTest, TheHeldDelegateIsLetGoWhenTheApplicationReplacesIt) {
  auto delegate = launch(fullDelegateClass());
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(VULAppDelegateObserver::sharedInstance().isObserving());
  std::weak_ptr<RecordingDelegate> weak = delegate;

  app_->setDelegate(std::make_shared<RecordingDelegate>("other", log_));
  EXPECT_FALSE(VULAppDelegateSwizzler::originalDelegate());
  EXPECT_FALSE(VULAppDelegateObserver::sharedInstance().isObserving());
  // Nothing else holds it once the launch factory is gone too.
  platform::ApplicationDelegateRegistry::registerClass("SWZTestDelegate", [] { return nullptr; });
  delegate.reset();
  EXPECT_TRUE(weak.expired());
}

// Registration and unregistration from many threads while the main thread delivers callbacks.
TEST_F(VULAppDelegateSwizzlerTest, StressRegisteringFromManyThreadsWhileCallbacksArrive) {
  launch(fullDelegateClass());
  VULAppDelegateSwizzler::proxyOriginalDelegate();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      auto own = std::make_shared<Log>();
      for (int i = 0; i < 150; ++i) {
        auto spy = std::make_shared<RecordingDelegate>("t" + std::to_string(t), own);
        auto id = VULAppDelegateSwizzler::registerAppDelegateInterceptor(spy);
        if (i % 3 == 0) {
          spy.reset();  // left for the next notification to remove
        } else {
          VULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
        }
      }
    });
  }
  std::thread closer([&] {
    for (auto& th : threads) th.join();
    stop = true;
  });
  int delivered = 0;
  while (!stop) {
    app_->deliverOpenURL("focus://stress");
    ++delivered;
  }
  closer.join();
  app_->deliverOpenURL("focus://last");
  EXPECT_EQ(VULAppDelegateSwizzler::interceptors().count(), 0u);
  EXPECT_GT(delivered, 0);
}

}  // namespace
}  // namespace delegate_proxy_testing
