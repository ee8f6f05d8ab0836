// Real threads on the real clock: the app's lifecycle and screen changes on the main thread while
// other threads log screen views and events, read the current screen and touch the session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/runloop/clock.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
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
    if (event.name == "_vs") {
      EXPECT_NE(intParameter(event, "_si"), INT64_MIN);
    }
    if (event.name == "_e") {
      EXPECT_GE(intParameter(event, "_et"), 0);
      EXPECT_LE(intParameter(event, "_et"), 3600000);
    }
  }
  platform::testing::useManualClock();
}

// The engine's session start on the worker queue and the app becoming active on the main thread,
// released at the same moment with the session expired: exactly one of them starts the session,
// with the next number.
TEST_F(SessionTest, AnExpiredSessionStartsOnceWhenWorkerQueueAndMainThreadRace) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  configure();
  becomeActive();
  recordEvents();
  const auto engine = APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine);
  const auto reporter = engine->sessionReporter();
  ASSERT_TRUE(reporter);
  const auto& persisted = engine->persistedConfig();
  for (int round = 0; round < 60; ++round) {
    clearEvents();
    const std::int64_t before = persisted->sessionNumber();
    persisted->setLastSessionActivityClockTime(0);
    std::atomic<int> arrived{0};
    // Both sides spin until the other is there too (or a broken side's time is up).
    const auto meet = [&arrived] {
      arrived.fetch_add(1);
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (arrived.load() < 2 && std::chrono::steady_clock::now() < giveUp) {
      }
    };
    const double now = APMSessionReporter::currentClockTime();
    engine->scheduler()->workerQueue()->async([&meet, engine, now] {
      meet();
      engine->reportSessionStartOnWorkerQueueWithTimestamp(now, false);
    });
    meet();
    reporter->handleAppDidBecomeActive();
    platform::testing::drain(engine->scheduler()->workerQueue());
    const auto starts = eventsNamed("_s");
    ASSERT_EQ(starts.size(), 1u) << "round " << round;
    EXPECT_EQ(intParameter(starts[0], "_sno"), before + 1) << "round " << round;
    ASSERT_EQ(persisted->sessionNumber(), before + 1) << "round " << round;
  }
  platform::testing::useManualClock();
}

}  // namespace
