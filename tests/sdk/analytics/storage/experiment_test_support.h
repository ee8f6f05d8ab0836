// Small builders of experiment snapshots for the experiment tests.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sdk/analytics/messages/apmpb_flag.h"
#include "sdk/analytics/storage/apm_engine_services.h"
#include "sdk/analytics/storage/apme_snapshot.h"

namespace experiment_test {

// experiments: ID -> flags by name (integer values).
inline std::shared_ptr<APMESnapshot> snapshot(const std::string& sdk,
                                              const std::map<int, std::map<std::string, long long>>& experiments) {
  APMESnapshot::Experiments list;
  for (const auto& [id, flags] : experiments) {
    APMEExperiment::Flags built;
    for (const auto& [name, value] : flags) {
      built.push_back(APMPBFlagFromNameAndValue(platform::Value(name), platform::Value(value)));
    }
    list.push_back(APMEExperiment::initWithExperimentID(id, built));
  }
  return APMESnapshot::initWithSDKName(sdk, list);
}

inline std::vector<std::int32_t> ids(const std::shared_ptr<APMESnapshot>& snapshot) {
  std::vector<std::int32_t> out;
  if (snapshot) {
    for (const auto& experiment : snapshot->experiments()) out.push_back(experiment->experimentID());
  }
  return out;
}

// Engine answers with only a diversion key.
inline void useDiversionKey(std::optional<std::string> key) {
  APMEngineServices services;
  services.diversionKey = [key] { return key; };
  APMSetEngineServices(std::move(services));
}

}  // namespace experiment_test
