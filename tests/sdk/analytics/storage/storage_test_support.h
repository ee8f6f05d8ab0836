// Builders of the messages the storage tests store, and a database opened in the test's home.
#pragma once

#include <memory>
#include <string>

#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_params.h"

namespace storage_test {

inline std::shared_ptr<APMPBEventParam> stringParam(const std::string& name, const std::string& value) {
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), APMFieldIndex(*param, 1), name);
  NANOSetString(param.get(), APMFieldIndex(*param, 2), value);
  return param;
}

inline std::shared_ptr<APMPBEventParam> intParam(const std::string& name, std::int64_t value) {
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), APMFieldIndex(*param, 1), name);
  NANOSetInt64(param.get(), APMFieldIndex(*param, 3), value);
  return param;
}

// An event as the engine stores it: origin "app" in "_o" plus `extraParams` integer parameters.
inline std::shared_ptr<APMPBEvent> event(const std::string& name, double seconds, int extraParams = 1,
                                         bool withOrigin = true) {
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetString(event.get(), APMFieldIndex(*event, 2), name);
  NANOSetInt64(event.get(), APMFieldIndex(*event, 3), static_cast<std::int64_t>(seconds * 1000));
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  if (withOrigin) params.push_back(stringParam("_o", "app"));
  for (int i = 0; i < extraParams; ++i) params.push_back(intParam("p" + std::to_string(i), i));
  NANOSetArray(event.get(), APMFieldIndex(*event, 1), params);
  return event;
}

inline std::shared_ptr<APMPBMeasurementBundle> bundle(double endSeconds, const std::string& appID = "1:app",
                                                      int events = 1) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), APMFieldIndex(*bundle, 14), appID);
  NANOSetInt64(bundle.get(), APMFieldIndex(*bundle, 6), static_cast<std::int64_t>(endSeconds * 1000));
  std::vector<std::shared_ptr<APMPBEvent>> list;
  for (int i = 0; i < events; ++i) list.push_back(event("e" + std::to_string(i), endSeconds));
  NANOSetArray(bundle.get(), APMFieldIndex(*bundle, 2), list);
  return bundle;
}

inline std::string eventName(const APMPBEvent& event) {
  return NANOGetString(&event, APMFieldIndex(event, 2)).value_or("");
}

inline std::unique_ptr<APMDatabase> openDatabase(platform::Error* error = nullptr) {
  return APMDatabase::initWithDatabaseName(std::string(kAPMMeasurementDatabaseName), nullptr, error);
}

}  // namespace storage_test
