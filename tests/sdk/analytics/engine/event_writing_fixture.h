// The engine started as the app starts it, with helpers that read what the event pipeline
// stored: raw events with their parameters, metadata records and the day's counters.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine_test_fixture.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace engine_test {

struct StoredEvent {
  std::string name;
  std::int64_t fingerprint = 0;
  bool realtime = false;
  std::string origin;
  APMDictionary parameters;
  std::int64_t rowID = 0;
  double timestamp = 0;
};

class EventWritingTest : public EngineTest {
 protected:
  void configure() {
    EngineTest::configure();
    forgetStartEvents();
  }
  std::shared_ptr<APMMeasurement> engine() { return APMMeasurement::sharedInstance(); }

  void onWorker(const std::function<void()>& block) {
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", block);
  }
  APMRows query(const std::string& sql) {
    platform::testing::runUntilIdle();
    APMRows rows;
    onWorker([&] {
      platform::Error error;
      rows = engine()->database()->store()->recordsForQuery(sql, {}, &error).value_or(APMRows{});
      EXPECT_FALSE(error.isSet()) << error.description();
    });
    return rows;
  }
  // The raw events in the store, oldest first; only those after `afterRowID` when given.
  std::vector<StoredEvent> stored(std::int64_t afterRowID = 0) {
    std::vector<StoredEvent> events;
    for (const APMRecord& row :
         query("SELECT rowid, name, metadata_fingerprint, is_realtime, data FROM raw_events WHERE rowid > " +
               std::to_string(afterRowID) + " ORDER BY rowid")) {
      StoredEvent event;
      event.rowID = row.at("rowid").integerValue();
      event.name = row.at("name").stringValue();
      event.fingerprint = row.at("metadata_fingerprint").integerValue();
      event.realtime = row.count("is_realtime") && row.at("is_realtime").integerValue() != 0;
      if (auto proto = APMPBEvent::initWithBuffer(*row.at("data").ifData())) {
        NANOSetString(proto.get(), APMFieldIndex(*proto, 2), event.name);
        if (auto decoded = APMEvent::initWithEventProto(*proto)) {
          event.origin = decoded->origin();
          event.timestamp = decoded->timestamp();
          event.parameters = decoded->parameters();
        }
      }
      events.push_back(std::move(event));
    }
    return events;
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const auto& event : stored()) names.push_back(event.name);
    return names;
  }
  std::shared_ptr<APMDailyCounts> counts() {
    platform::testing::runUntilIdle();
    std::shared_ptr<APMDailyCounts> result;
    onWorker([&] { result = engine()->database()->dailyCounts(nullptr); });
    return result;
  }
  static void settings(const std::map<std::string, std::string>& values) {
    APMMeasurement::remoteConfig()->setRawSettings(values);
  }
  // A measurement configuration with blocklisted events and an editing program, as fetched; its
  // settings replace any given before.
  void loadConfiguration(const std::vector<std::string>& blocklisted, std::shared_ptr<APMPBProgram> program) {
    auto config = APMPBMeasurementConfig::initWithMessageInfo();
    NANOSetString(config.get(), APMFieldIndex(*config, 2), std::string(kAppID));
    std::vector<std::shared_ptr<APMPBEventConfig>> eventConfigs;
    for (const auto& name : blocklisted) {
      auto eventConfig = APMPBEventConfig::initWithMessageInfo();
      NANOSetString(eventConfig.get(), APMFieldIndex(*eventConfig, 1), name);
      NANOSetBool(eventConfig.get(), APMFieldIndex(*eventConfig, 2), true);
      eventConfigs.push_back(eventConfig);
    }
    NANOSetArray(config.get(), APMFieldIndex(*config, 5), eventConfigs);
    if (program) {
      NANOSetArray(config.get(), APMFieldIndex(*config, 9), std::vector<std::shared_ptr<APMPBProgram>>{program});
    }
    onWorker([&] { APMMeasurement::remoteConfig()->parseRemoteConfigFromMeasurementConfig(*config); });
  }
};

inline std::int64_t storedInt(const StoredEvent& event, std::string_view name) {
  const auto it = event.parameters.find(name);
  if (it == event.parameters.end() || !it->second.apmValue() || !(*it->second.apmValue())->isInt64()) return INT64_MIN;
  return (*it->second.apmValue())->int64Value();
}

inline std::string storedString(const StoredEvent& event, std::string_view name) {
  const auto it = event.parameters.find(name);
  if (it == event.parameters.end() || !it->second.apmValue() || !(*it->second.apmValue())->isString()) return "<none>";
  return *(*it->second.apmValue())->stringValue();
}

}  // namespace engine_test
