// Real threads on the real clock: many callers log events and set user properties while the
// measurement configuration with its editing program is reloaded; every event is stored once,
// edited by whichever program was loaded when it was written.
#include <gtest/gtest.h>

#include <thread>

#include "event_writing_fixture.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/script/apmp_event_editing_loader.h"
#include "tests/sdk/analytics/script/program_fixture.h"

namespace {

using engine_test::EventWritingTest;

TEST_F(EventWritingTest, ConcurrentLoggingWhileTheEditingProgramIsReloaded) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  APMPEventEditingLoader::load();
  configure();
  loadConfiguration({}, editingProgramNamed("fixture"));
  constexpr int kThreads = 6;
  constexpr int kEvents = 40;
  std::thread reloader([&] {
    const auto program = editingProgramNamed("fixture");
    for (int i = 0; i < 30; ++i) loadConfiguration({}, program);
  });
  std::thread properties([&] {
    for (int i = 0; i < 100; ++i) {
      DOREvoredire::setUserPropertyString(APMObject("v" + std::to_string(i % 5)), "color");
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([t] {
      for (int i = 0; i < kEvents; ++i) {
        DOREvoredire::logEventWithName("old_name", {{"thread", APMObject(t)}, {"debug", APMObject("x")}});
      }
    });
  }
  for (auto& logger : loggers) logger.join();
  reloader.join();
  properties.join();

  const auto events = stored();
  std::vector<int> perThread(kThreads, 0);
  for (const auto& event : events) {
    ASSERT_EQ(event.name, "new_name");
    EXPECT_EQ(engine_test::storedString(event, "debug"), "<none>");
    const auto t = engine_test::storedInt(event, "thread");
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ++perThread[t];
  }
  EXPECT_EQ(perThread, std::vector<int>(kThreads, kEvents));
  APMSetEventEditingLoader(nullptr);
  platform::testing::useManualClock();
}

}  // namespace
