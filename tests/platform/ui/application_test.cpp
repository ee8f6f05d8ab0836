#include "platform/ui/application.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/message.h"
#include "platform/ui/application_delegate_class.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/user_activity.h"
#include "platform/foundation/notification_center.h"
#include "platform/runtime/class.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

using Log = std::vector<std::string>;

class RecordingScreen : public ViewController {
 public:
  explicit RecordingScreen(std::shared_ptr<Log> log) : log_(std::move(log)) { log_->push_back("screen created"); }
  void viewDidLoad() override { log_->push_back("viewDidLoad"); }
  void viewWillAppear(bool) override { log_->push_back("viewWillAppear"); }
  void viewDidAppear(bool) override { log_->push_back("viewDidAppear"); }

 private:
  std::shared_ptr<Log> log_;
};

class RecordingDelegate : public ApplicationDelegate {
 public:
  explicit RecordingDelegate(std::shared_ptr<Log> log) : log_(std::move(log)) {}
  bool applicationDidFinishLaunchingWithOptions(Application&, const Value::Dictionary&) override {
    auto root = window() ? window()->rootViewController() : nullptr;
    log_->push_back(
        root ? (root->isViewLoaded() ? "didFinishLaunching: root loaded" : "didFinishLaunching: root not loaded")
             : "didFinishLaunching: no root");
    return true;
  }
  void applicationWillResignActive(Application&) override { log_->push_back("delegate willResignActive"); }
  void applicationDidEnterBackground(Application&) override { log_->push_back("delegate didEnterBackground"); }
  void applicationWillEnterForeground(Application&) override { log_->push_back("delegate willEnterForeground"); }
  void applicationDidBecomeActive(Application&) override { log_->push_back("delegate didBecomeActive"); }
  void applicationWillTerminate(Application&) override { log_->push_back("delegate willTerminate"); }

 private:
  std::shared_ptr<Log> log_;
};

class ApplicationTest : public UITest {
 protected:
  void SetUp() override {
    UITest::SetUp();
    // A bundle without Info.plist: the main storyboard is "Main".
    auto bundle = Home::temporary() / "bundle";
    std::filesystem::create_directories(bundle);
    Bundle::setMainPath(bundle);
    log_ = std::make_shared<Log>();
    auto log = log_;
    ApplicationDelegateRegistry::registerClass("RecordingDelegate",
                                               [log] { return std::make_shared<RecordingDelegate>(log); });
    auto storyboard = std::make_shared<Storyboard>("Main");
    storyboard->addViewController("first", [log] { return std::make_shared<RecordingScreen>(log); });
    storyboard->setInitialViewController("first");
    Storyboard::registerStoryboard(storyboard);
  }
  void TearDown() override {
    UITest::TearDown();
    Bundle::setMainPath({});
  }
  std::shared_ptr<Log> log_;
};

TEST_F(ApplicationTest, InitialScreenExistsBeforeTheLaunchCallbackAndItsViewLoadsAfter) {
  auto app = Application::launch("RecordingDelegate");
  EXPECT_EQ(*log_, (Log{"screen created", "didFinishLaunching: root not loaded", "viewDidLoad", "viewWillAppear",
                        "delegate didBecomeActive"}));
  platform::testing::runUntilIdle();
  EXPECT_EQ(log_->back(), "viewDidAppear");

  auto window = app->delegate()->window();
  ASSERT_TRUE(window);
  EXPECT_EQ(app->keyWindow(), window);
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(window->rootViewController()->view()->superview(), window);
  EXPECT_EQ(app->applicationState(), ApplicationState::Active);
  EXPECT_EQ(Application::shared(), app);
}

TEST_F(ApplicationTest, TheLaunchNotificationCarriesTheLaunchOptions) {
  const auto owner = std::make_shared<const int>(0);
  Value::Dictionary received;
  NotificationCenter::defaultCenter().addObserver(std::weak_ptr<const void>(owner),
                                                  std::string(kApplicationDidFinishLaunchingNotification), nullptr,
                                                  [&](const Notification& note) { received = note.userInfo; });
  const auto activity = makeUserActivity(kUserActivityTypeBrowsingWeb, "https://focus.invalid/a");
  Application::launch("RecordingDelegate", launchOptionsWithUserActivity(activity));
  NotificationCenter::defaultCenter().removeObserver(owner.get());
  const auto& inner = received.at(std::string(kApplicationLaunchOptionsUserActivityDictionaryKey)).dictionaryOrEmpty();
  EXPECT_EQ(inner.at(std::string(kApplicationLaunchOptionsUserActivityKey)).dictionaryOrEmpty(), activity);
  const auto cls = runtime::classNamed(kUserActivityClassName);
  ASSERT_TRUE(cls);
  EXPECT_TRUE(cls->instancesRespondToSelector("webpageURL"));
  EXPECT_TRUE(cls->instancesRespondToSelector("activityType"));
}

TEST_F(ApplicationTest, ApplicationMainRunsTheMainLoopUntilTermination) {
  // The first turn of the loop terminates the app; applicationMain then returns.
  DispatchQueue::main()->async([] { Application::shared()->terminate(); });
  char name[] = "focus-timer";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(applicationMain(1, argv, "RecordingDelegate"), 0);
  EXPECT_TRUE(Application::shared()->isTerminated());
  EXPECT_NE(std::find(log_->begin(), log_->end(), "delegate willTerminate"), log_->end());
}

TEST_F(ApplicationTest, UnknownDelegateClassRaises) {
  EXPECT_THROW(Application::launch("NoSuchDelegate"), Exception);
  EXPECT_EQ(Application::shared(), nullptr);
}

TEST_F(ApplicationTest, StoryboardNamedInInfoPlistMustExist) {
  auto bundle = Home::temporary() / "named";
  std::filesystem::create_directories(bundle);
  {
    std::ofstream info(bundle / "Info.plist");
    info << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>UIMainStoryboardFile</key><string>Missing</string></dict></plist>)";
  }
  Bundle::setMainPath(bundle);
  EXPECT_THROW(Application::launch("RecordingDelegate"), Exception);
}

TEST_F(ApplicationTest, LifecycleTransitionsCallTheDelegateThenPostTheirNotifications) {
  struct Case {
    const char* name;
    std::function<void(Application&)> act;
    Log expected;
    ApplicationState state;
  };
  const Log toBackground{"delegate willResignActive", std::string(kApplicationWillResignActiveNotification),
                         "delegate didEnterBackground", std::string(kApplicationDidEnterBackgroundNotification)};
  const Log toForeground{"delegate willEnterForeground", std::string(kApplicationWillEnterForegroundNotification),
                         "delegate didBecomeActive", std::string(kApplicationDidBecomeActiveNotification)};
  const Log terminating{"delegate willTerminate", std::string(kApplicationWillTerminateNotification)};
  auto concat = [](Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"background", [](Application& a) { a.enterBackground(); }, toBackground, ApplicationState::Background},
      {"background twice",
       [](Application& a) {
         a.enterBackground();
         a.enterBackground();
       },
       toBackground, ApplicationState::Background},
      {"back to the front",
       [](Application& a) {
         a.enterBackground();
         a.enterForeground();
       },
       concat(toBackground, toForeground), ApplicationState::Active},
      {"foreground while in front", [](Application& a) { a.enterForeground(); }, {}, ApplicationState::Active},
      {"terminate", [](Application& a) { a.terminate(); }, terminating, ApplicationState::Active},
      {"nothing after termination",
       [](Application& a) {
         a.terminate();
         a.enterBackground();
         a.terminate();
       },
       terminating, ApplicationState::Active},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto app = Application::launch("RecordingDelegate");
    std::vector<std::shared_ptr<NotificationObserver>> observers;
    for (auto name : {kApplicationWillResignActiveNotification, kApplicationDidEnterBackgroundNotification,
                      kApplicationWillEnterForegroundNotification, kApplicationDidBecomeActiveNotification,
                      kApplicationWillTerminateNotification}) {
      observers.push_back(NotificationCenter::defaultCenter().addObserver(
          std::string(name), app.get(), nullptr, [log = log_](const Notification& n) { log->push_back(n.name); }));
    }
    log_->clear();
    c.act(*app);
    EXPECT_EQ(*log_, c.expected);
    EXPECT_EQ(app->applicationState(), c.state);
    platform::testing::runUntilIdle();
  }
}

TEST_F(ApplicationTest, MainLoopTimersPauseInTheBackgroundWhileTimePasses) {
  auto app = Application::launch("RecordingDelegate");
  int fired = 0;
  auto timer = Timer::scheduled(1.0, true, [&](Timer&) { ++fired; });
  platform::testing::advance(3);
  EXPECT_EQ(fired, 3);

  app->enterBackground();
  EXPECT_TRUE(RunLoop::main().isSuspended());
  platform::testing::advance(10);
  EXPECT_EQ(fired, 3);

  app->enterForeground();
  EXPECT_FALSE(RunLoop::main().isSuspended());
  platform::testing::advance(1);
  EXPECT_GT(fired, 3);
  EXPECT_LE(fired, 5);  // the missed firings collapse into one
  timer->invalidate();
}

TEST_F(ApplicationTest, OpenBackgroundTaskKeepsTheAppRunningUntilItEnds) {
  auto app = Application::launch("RecordingDelegate");
  int fired = 0;
  auto timer = Timer::scheduled(1.0, true, [&](Timer&) { ++fired; });
  auto task = app->beginBackgroundTaskWithName("upload", [] {});
  ASSERT_NE(task, kBackgroundTaskInvalid);

  app->enterBackground();
  EXPECT_FALSE(RunLoop::main().isSuspended());
  EXPECT_DOUBLE_EQ(app->backgroundTimeRemaining(), Application::kBackgroundTimeAllowance);
  platform::testing::advance(5);
  EXPECT_EQ(fired, 5);

  app->endBackgroundTask(task);
  EXPECT_TRUE(RunLoop::main().isSuspended());
  platform::testing::advance(5);
  EXPECT_EQ(fired, 5);
  timer->invalidate();
}

TEST_F(ApplicationTest, BackgroundTimeRunningOutCallsTheExpirationHandlersThenSuspends) {
  struct Case {
    const char* name;
    bool handlerEndsTask;
    bool logsForcedEnd;
  };
  for (const Case& c : {Case{"handler ends its task", true, false}, Case{"handler forgets its task", false, true}}) {
    SCOPED_TRACE(c.name);
    platform::testing::LogCapture capture;
    auto app = Application::launch("RecordingDelegate");
    int expirations = 0;
    BackgroundTaskIdentifier task = kBackgroundTaskInvalid;
    task = app->beginBackgroundTaskWithName("upload", [&] {
      ++expirations;
      if (c.handlerEndsTask) app->endBackgroundTask(task);
    });
    app->enterBackground();
    platform::testing::advance(Application::kBackgroundTimeAllowance - 0.5);
    EXPECT_EQ(expirations, 0);
    EXPECT_FALSE(RunLoop::main().isSuspended());

    platform::testing::advance(1);
    EXPECT_EQ(expirations, 1);
    EXPECT_EQ(app->openBackgroundTaskCount(), 0u);
    EXPECT_TRUE(RunLoop::main().isSuspended());
    EXPECT_EQ(capture.contains("was not ended before its time ran out"), c.logsForcedEnd);
    EXPECT_EQ(app->beginBackgroundTaskWithName("late", {}), kBackgroundTaskInvalid);

    app->enterForeground();
    EXPECT_NE(app->beginBackgroundTaskWithName("fresh", {}), kBackgroundTaskInvalid);
  }
}

TEST_F(ApplicationTest, EndingAnUnknownTaskOnlyLogs) {
  platform::testing::LogCapture capture;
  auto app = Application::launch("RecordingDelegate");
  auto task = app->beginBackgroundTaskWithName("once", {});
  app->endBackgroundTask(task);
  app->endBackgroundTask(task);
  app->endBackgroundTask(kBackgroundTaskInvalid);
  EXPECT_TRUE(capture.contains("no such task"));
  EXPECT_EQ(app->openBackgroundTaskCount(), 0u);
  EXPECT_EQ(app->backgroundTimeRemaining(), std::numeric_limits<double>::infinity());
}

TEST_F(ApplicationTest, OpenURLRecordsTheTraceAndCompletesOnTheMainQueue) {
  struct Case {
    std::string url;
    bool opened;
  };
  auto app = Application::launch("RecordingDelegate");
  for (const Case& c :
       {Case{"https://apps.example.invalid/app/id1?ls=1&mt=8", true}, Case{"mailto:support@example.invalid", true},
        Case{"no scheme here", false}, Case{"", false}, Case{"1http://x", false}}) {
    SCOPED_TRACE(c.url);
    Trace::clear();
    std::optional<bool> result;
    app->openURL(c.url, {}, [&](bool ok) { result = ok; });
    EXPECT_FALSE(result.has_value());  // never called back synchronously
    platform::testing::runUntilIdle();
    EXPECT_EQ(result, c.opened);
    auto opened = Trace::eventsOfKind("openURL");
    ASSERT_EQ(opened.size(), c.opened ? 1u : 0u);
    if (c.opened) {
      EXPECT_EQ(opened[0].detail, c.url);
    }
  }
}

// Callbacks are sent through the delegate's runtime class: a declared class answers only what it
// names, and the platform falls back as the system does.
class URLDelegate : public ApplicationDelegate {
 public:
  explicit URLDelegate(std::shared_ptr<Log> log) : log_(std::move(log)) {
    runtime::setClass(*this, applicationDelegateClass("URLTestDelegate", sizeof(URLDelegate),
                                                      {kApplicationOpenURLSourceApplicationAnnotationSelector,
                                                       kApplicationDidReceiveRemoteNotificationSelector,
                                                       kApplicationDidBecomeActiveSelector}));
  }
  bool applicationOpenURLOptions(Application&, const std::string&, const Value::Dictionary&) override {
    log_->push_back("never: not declared");
    return true;
  }
  bool applicationOpenURLSourceApplicationAnnotation(Application&, const std::string& url, const std::string& source,
                                                     const Value& annotation) override {
    log_->push_back(url + " from " + source + " " + annotation.stringValue());
    return true;
  }
  void applicationDidReceiveRemoteNotification(Application&, const Value::Dictionary& info) override {
    log_->push_back("notification " + info.at("id").stringValue());
  }
  void applicationDidBecomeActive(Application&) override { log_->push_back("active"); }
  void applicationWillResignActive(Application&) override { log_->push_back("never: not declared"); }

 private:
  std::shared_ptr<Log> log_;
};

TEST_F(ApplicationTest, DelegateCallbacksAreThoseOfItsRuntimeClass) {
  auto log = log_;
  ApplicationDelegateRegistry::registerClass("URLDelegate", [log] { return std::make_shared<URLDelegate>(log); });
  auto app = Application::launch("URLDelegate");
  log_->clear();

  EXPECT_TRUE(app->deliverOpenURL("focus://x", {{std::string(kApplicationOpenURLOptionsSourceApplicationKey), Value("mail")},
                                                {std::string(kApplicationOpenURLOptionsAnnotationKey), Value(7)}}));
  EXPECT_FALSE(app->deliverUserActivity({}));
  app->enterBackground();

  std::vector<BackgroundFetchResult> results;
  app->deliverRemoteNotification({{"id", Value(3)}}, [&](BackgroundFetchResult r) { results.push_back(r); });
  EXPECT_EQ(*log_, (Log{"focus://x from mail 7", "notification 3"}));
  EXPECT_EQ(results, std::vector<BackgroundFetchResult>{BackgroundFetchResult::NoData});

  // A plain delegate answers every callback with its C++ methods.
  auto plain = std::make_shared<ApplicationDelegate>();
  app->setDelegate(plain);
  EXPECT_TRUE(runtime::respondsToSelector(*plain, kApplicationOpenURLOptionsSelector));
  EXPECT_FALSE(app->deliverOpenURL("focus://y"));
  results.clear();
  app->deliverRemoteNotification({}, [&](BackgroundFetchResult r) { results.push_back(r); });
  EXPECT_EQ(results, std::vector<BackgroundFetchResult>{BackgroundFetchResult::NoData});
}

}  // namespace
}  // namespace platform::ui_tests
