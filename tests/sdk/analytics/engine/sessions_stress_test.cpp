// Real threads on the real clock: the app's lifecycle and screen changes on the main thread while
// other threads log screen views and events, read the current screen and touch the session.
#include <gtest/gtest.h>

#include <thread>

#include "platform/runloop/clock.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "session_test_fixture.h"

namespace {

using engine_test::intParameter;
using engine_test::SessionTest;


TEST_F(SessionTest, LifecycleAndScreensOnTheMainThreadRaceNothingElse) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  configure();
  recordEvents();
  auto& reporter = APMScreenViewReporter::sharedInstance();
  const auto engine = APMMeasurement::sharedInstance();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        switch ((t + i) % 4) {
          case 0:
            DOREvoredire::logEventWithName("screen_view", {{"screen_name", APMObject("S" + std::to_string(i % 3))}});
            break;
          case 1: {
            const auto parameters = reporter.screenParameters();
            std::optional<std::string> name;
            reporter.getScreenName(&name, nullptr);
            DOREvoredire::logEventWithName("tick", {});
            break;
          }
          case 2:
            if (const auto session = engine->sessionReporter()) {
              session->extendSession();
              session->isSessionExpired();
              (void)session->incurredEngagementTime();
            }
            break;
          default:
            DOREvoredire::setSessionTimeoutInterval(1800 + i % 2);
            break;
        }
      }
    });
  }
  std::vector<std::shared_ptr<platform::ViewController>> screens;
  for (int i = 0; i < 3; ++i) screens.push_back(std::make_shared<engine_test::NamedController>("Screen" + std::to_string(i)));
  // The notifications go straight out: settling the main queue would wait for the other threads.
  auto& center = platform::NotificationCenter::defaultCenter();
  for (int round = 0; round < 30; ++round) {
    center.post(std::string(platform::kApplicationDidBecomeActiveNotification));
    reporter.setCurrentViewController(screens[round % 3]);
    if (round % 5 == 0) engine->setEnabled(round % 10 == 0);
    center.post(std::string(platform::kApplicationWillResignActiveNotification));
    center.post(std::string(platform::kApplicationDidEnterBackgroundNotification));
  }
  for (auto& thread : threads) thread.join();
  engine->setEnabled(true);
  for (const auto& event : events()) {
    if (event.name == "_vs") EXPECT_NE(intParameter(event, "_si"), INT64_MIN);
    if (event.name == "_e") {
      EXPECT_GE(intParameter(event, "_et"), 0);
      EXPECT_LE(intParameter(event, "_et"), 3600000);
    }
  }
  platform::testing::useManualClock();
}

}  // namespace
