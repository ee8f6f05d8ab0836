// The engine test stack plus what sessions and screens need: the app's lifecycle notifications as
// the application posts them, the screen reporter as at process start, and remote settings
// applied as a fetched configuration would apply them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine_test_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/trace.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace engine_test {

// A screen of the app, known by its class name.
class NamedController : public platform::ViewController {
 public:
  explicit NamedController(std::string name) : name_(std::move(name)) {}
  std::string_view className() const override { return name_; }

 private:
  std::string name_;
};

class SessionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMScreenViewReporter::sharedInstance().resetForTesting();
    platform::Trace::clear();
  }
  void TearDown() override {
    EngineTest::TearDown();
    APMScreenViewReporter::sharedInstance().resetForTesting();
  }

  // A relaunch: the screen reporter forgets the app's state too.
  void relaunch() {
    freshProcess();
    APMScreenViewReporter::sharedInstance().resetForTesting();
    clearEvents();
    recordEvents();
    configure();
  }

  static void post(std::string_view name) {
    platform::NotificationCenter::defaultCenter().post(std::string(name));
    platform::testing::runUntilIdle();
  }
  static void becomeActive() { post(platform::kApplicationDidBecomeActiveNotification); }
  static void enterBackground() {
    post(platform::kApplicationWillResignActiveNotification);
    post(platform::kApplicationDidEnterBackgroundNotification);
  }

  // Applies remote settings on the worker queue, as a configuration fetch does.
  static void applySettings(const std::map<std::string, std::string>& settings) {
    const auto engine = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    auto config = APMPBMeasurementConfig::initWithMessageInfo();
    NANOSetString(config.get(), APMFieldIndex(*config, 2), engine->appID());
    NANOSetString(config.get(), APMFieldIndex(*config, 7), engine->appID());
    std::vector<std::shared_ptr<APMPBSetting>> list;
    for (const auto& [name, value] : settings) {
      auto setting = APMPBSetting::initWithMessageInfo();
      NANOSetString(setting.get(), 0, name);
      NANOSetString(setting.get(), 1, value);
      list.push_back(setting);
    }
    NANOSetArray(config.get(), APMFieldIndex(*config, 4), list);
    bool applied = false;
    engine->scheduler()->workerQueue()->sync([&] { applied = engine->remoteConfigInstance()->updateMeasurementConfig(config); });
    ASSERT_TRUE(applied);
  }

  std::vector<LoggedEvent> eventsNamed(std::string_view name) {
    std::vector<LoggedEvent> out;
    for (auto& event : events()) {
      if (event.name == name) out.push_back(event);
    }
    return out;
  }
  std::vector<std::string> eventNames() {
    std::vector<std::string> out;
    for (const auto& event : events()) out.push_back(event.name);
    return out;
  }
  void clearEvents() {
    platform::testing::runUntilIdle();
    std::lock_guard lock(mutex_);
    events_.clear();
  }
};

}  // namespace engine_test
