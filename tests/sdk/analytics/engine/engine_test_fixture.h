// A fresh analytics stack for each test: its own main bundle (Info.plist and options file) in the
// test's home, no app configured, the facade, engine, identity and consent as at process start,
// and every monitor line recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <climits>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/user_defaults.h"
#include "platform/runtime/class.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/engine/dor_evoredire.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_options.h"

namespace engine_test {

inline constexpr std::string_view kAppID = "1:408716253291:ios:5f8c2a1e9d3b4c70";
inline constexpr std::string_view kBundleID = "com.focus.timer";

inline platform::Value::Dictionary optionsDictionary(std::string_view appID = kAppID) {
  return {{"VIDEZU_APP_ID", platform::Value(appID)},
          {"BUNDLE_ID", platform::Value(kBundleID)},
          {"API_KEY", "test-api-key"},
          {"VCM_SENDER_ID", "408716253291"},
          {"PROJECT_ID", "focus-timer-test"}};
}

struct LoggedEvent {
  std::string origin;
  std::string name;
  double timestamp = 0;
  APMDictionary parameters;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test frameworks answer the advertising identifier at once; only the scheduler of a
    // loaded machine could make a read miss the product's short wait.
    APMDefaultIdentitySupport::setResettableDeviceIDWaitForTesting(30);
    freshProcess();
    useBundle({{"CFBundleIdentifier", platform::Value(kBundleID)}, {"CFBundleShortVersionString", "1.2"},
               {"CFBundleVersion", "1.2.3"}});
  }
  void TearDown() override {
    platform::testing::runUntilIdle();
    tearDownProcess();
    APMMeasurementMonitor()->setObserver(nullptr);
    platform::Bundle::setMainPath({});
    for (const auto& name : classes_) platform::runtime::unregisterClass(name);
    APMDefaultIdentitySupport::setResettableDeviceIDWaitForTesting(kAPMResettableDeviceIDWaitSeconds);
  }

  // Forgets the monitor lines seen so far, so that a case counts only its own.
  void clearLines() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

  // What a relaunch forgets: every singleton of the stack and every loaded preference.
  void freshProcess() {
    tearDownProcess();
    DOREvoredire::load();
    APMAnalytics::load();
    APMMeasurementMonitor()->setObserver(
        [this](std::int64_t level, std::int64_t code, const std::string& message, const APMMonitor::Contexts&) {
          std::lock_guard lock(mutex_);
          lines_.push_back({level, code, message});
        });
  }
  void tearDownProcess() {
    platform::testing::runUntilIdle();
    APMAnalytics::resetForTesting();
    APMMeasurement::resetSharedInstanceForTesting();
    APMIdentity::resetSharedInstanceForTesting();
    APMDefaultIdentitySupport::resetSharedInstanceForTesting();
    APMConsentSettingsUtil::resetForTesting();
    APMKeychainWrapper::resetMigrationForTesting();
    VDZApp::resetAppsForTesting();
    platform::UserDefaults::resetCachesForTesting();
  }

  void useBundle(const platform::Value::Dictionary& info, bool withOptions = true) {
    const auto path = platform::Home::path() / "bundles" / "Focus.app";
    platform::FileManager::defaultManager().removeItem(path);
    ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(path));
    writePlist(path / "Info.plist", platform::Value(info));
    if (withOptions) writePlist(path / "VidezuService-Info.plist", platform::Value(optionsDictionary()));
    platform::Bundle::setMainPath(path);
  }
  static void writePlist(const std::filesystem::path& path, const platform::Value& value) {
    auto bytes = platform::PropertyList::write(value, platform::PropertyList::Format::XML);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(path, *bytes));
  }

  // The core's configure, which starts analytics by class name.
  void configure() {
    VDZApp::configure();
    platform::testing::runUntilIdle();
  }
  // A start writes its own events ("_f", "_s", "_e") and an active app logs engagement every
  // hour; tests that count only their own events silence the session reporter and forget what
  // the start wrote, with the counters it raised and the upload it scheduled.
  void forgetStartEvents() {
    platform::testing::runUntilIdle();
    const auto engine = APMMeasurement::sharedInstanceIfCreated();
    ASSERT_TRUE(engine && engine->database());
    if (const auto reporter = engine->sessionReporter()) reporter->setReportingEnabled(false);
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
      engine->alarm()->cancel();
      for (const char* sql : {"DELETE FROM raw_events", "DELETE FROM raw_events_metadata", "DELETE FROM events",
                              "UPDATE app_metadata SET daily_events_count = 0, daily_public_events_count = 0, "
                              "daily_error_events_count = 0, daily_conversions_count = 0, "
                              "daily_real_time_conversion_events_count = 0"}) {
        platform::Error error;
        EXPECT_TRUE(engine->database()->store()->executeSQL(sql, &error)) << sql << ": " << error.description();
      }
    });
  }

  void recordEvents() {
    APMAnalytics::addLogEventListener([this](const std::shared_ptr<const APMEvent>& event) {
      std::lock_guard lock(mutex_);
      events_.push_back({event->origin(), event->name(), event->timestamp(), event->parameters()});
    });
  }
  std::vector<LoggedEvent> events() {
    platform::testing::runUntilIdle();
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<LoggedEvent> eventsFromOrigin(std::string_view origin) {
    std::vector<LoggedEvent> out;
    for (auto& event : events()) {
      if (event.origin == origin) out.push_back(std::move(event));
    }
    return out;
  }
  bool loggedCode(std::int64_t code) { return linesWithCode(code) > 0; }
  int linesWithCode(std::int64_t code) {
    platform::testing::runUntilIdle();
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.code == code;
    return n;
  }
  // The level the code was last logged at; none when it was not.
  std::optional<std::int64_t> levelOf(std::int64_t code) {
    platform::testing::runUntilIdle();
    std::lock_guard lock(mutex_);
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line) {
      if (line->code == code) return line->level;
    }
    return std::nullopt;
  }
  platform::Value::Dictionary userProperties(bool includingInternal = false) {
    platform::Value::Dictionary result;
    bool answered = false;
    APMAnalytics::userPropertiesIncludingInternal(includingInternal, platform::DispatchQueue::main(),
                                                  [&](const platform::Value::Dictionary& properties) {
                                                    result = properties;
                                                    answered = true;
                                                  });
    platform::testing::runUntilIdle();
    EXPECT_TRUE(answered);
    return result;
  }

  std::shared_ptr<const platform::runtime::Class> defineClass(platform::runtime::ClassDefinition definition) {
    classes_.push_back(definition.name);
    if (!definition.superclass) definition.superclass = platform::runtime::rootClass();
    return platform::runtime::registerClass(std::move(definition));
  }

  struct Line {
    std::int64_t level;
    std::int64_t code;
    std::string message;
  };
  std::mutex mutex_;
  std::vector<Line> lines_;
  std::vector<LoggedEvent> events_;

 private:
  std::vector<std::string> classes_;
};

inline const APMObject* parameter(const LoggedEvent& event, std::string_view name) {
  auto it = event.parameters.find(name);
  return it == event.parameters.end() ? nullptr : &it->second;
}

inline std::int64_t intParameter(const LoggedEvent& event, std::string_view name) {
  const APMObject* object = parameter(event, name);
  if (!object || !object->apmValue() || !(*object->apmValue())->isInt64()) return INT64_MIN;
  return (*object->apmValue())->int64Value();
}

inline std::string stringParameter(const LoggedEvent& event, std::string_view name) {
  const APMObject* object = parameter(event, name);
  if (!object || !object->apmValue() || !(*object->apmValue())->isString()) return "<none>";
  return *(*object->apmValue())->stringValue();
}

}  // namespace engine_test
