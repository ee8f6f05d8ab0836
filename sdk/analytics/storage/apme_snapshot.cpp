#include "sdk/analytics/storage/apme_snapshot.h"

#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_engine_services.h"

namespace {

// Field indexes (field number − 1 in these messages).
constexpr std::int32_t kFlagName = 0;
constexpr std::int32_t kExperimentID = 0;
constexpr std::int32_t kExperimentFlags = 1;
constexpr std::int32_t kSnapshotSDKName = 0;
constexpr std::int32_t kSnapshotExperiments = 1;
constexpr std::int32_t kClientSDKName = 0;
constexpr std::int32_t kClientDiversionKey = 1;
constexpr std::int32_t kClientVersion = 2;
constexpr std::int32_t kClientAppID = 3;
constexpr std::int32_t kClientCustomProperties = 4;
constexpr std::int32_t kCustomName = 0;
constexpr std::int32_t kCustomValue = 1;

}  // namespace

double APMENow() { return platform::Clock::current().now().timeIntervalSince1970(); }

// --- APMEExperiment ---

std::shared_ptr<APMEExperiment> APMEExperiment::initWithExperimentID(std::int32_t experimentID, const Flags& flags) {
  std::shared_ptr<APMEExperiment> experiment(new APMEExperiment(experimentID));
  for (const auto& flag : flags) {
    if (!flag) {
      APMLog(2, 870003, "Cannot add non-flag into the experiment. Flag", APMObject::null());
      return nullptr;
    }
    experiment->addFlag(flag);
  }
  return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment& proto) {
  const auto flags = NANOGetArray<APMPBFlag>(&proto, kExperimentFlags);
  return initWithExperimentID(NANOGetInt32(&proto, kExperimentID), flags.value_or(Flags{}));
}

APMEExperiment::Flags APMEExperiment::flags() const {
  Flags flags;
  for (const auto& [name, flag] : flagsByName_) flags.push_back(flag);
  return flags;
}

void APMEExperiment::addFlag(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) {
    APMLog(2, 870004, "Cannot add empty flag into an experiment. ID", experimentID_);
    return;
  }
  const auto name = NANOGetString(flag.get(), kFlagName);
  if (!name || !NANOHasField(flag.get(), kFlagName)) {
    APMLog(2, 870006, "Cannot add a flag without name into an experiment. ID", experimentID_);
    return;
  }
  flagsByName_.insert_or_assign(*name, flag);
}

std::shared_ptr<APMPBFlag> APMEExperiment::flagWithName(const std::string& name) const {
  if (name.empty()) {
    APMLog(2, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  const auto it = flagsByName_.find(name);
  return it == flagsByName_.end() ? nullptr : it->second;
}

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
  auto proto = APMPBExperiment::initWithMessageInfo();
  if (!proto) return nullptr;
  NANOSetInt32(proto.get(), kExperimentID, experimentID_);
  NANOSetArray(proto.get(), kExperimentFlags, flags());
  return proto;
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const {
  return std::shared_ptr<APMEExperiment>(new APMEExperiment(*this));
}

// --- APMESnapshot ---

std::shared_ptr<APMESnapshot> APMESnapshot::initWithSDKName(const std::string& SDKName,
                                                            const Experiments& experiments) {
  if (SDKName.empty()) {
    APMLog(2, 840000, "Cannot create snapshot with an invalid SDK name");
    return nullptr;
  }
  std::shared_ptr<APMESnapshot> snapshot(new APMESnapshot());
  snapshot->SDKName_ = SDKName;
  for (const auto& experiment : experiments) {
    if (!experiment) {
      APMLog(2, 840002, "Cannot create snapshot with an invalid experiment");
      return nullptr;
    }
    snapshot->experimentsByExperimentID_.insert_or_assign(experiment->experimentID(), experiment->copy());
  }
  snapshot->timestamp_ = APMENow();
  return snapshot;
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot& proto) {
  Experiments experiments;
  if (const auto protos = NANOGetArray<APMPBExperiment>(&proto, kSnapshotExperiments)) {
    for (const auto& experimentProto : *protos) {
      if (auto experiment = APMEExperiment::initWithProtobuf(*experimentProto)) experiments.push_back(experiment);
    }
  }
  return initWithSDKName(NANOGetString(&proto, kSnapshotSDKName).value_or(""), experiments);
}

APMESnapshot::Experiments APMESnapshot::experiments() const {
  Experiments experiments;
  for (const auto& [id, experiment] : experimentsByExperimentID_) experiments.push_back(experiment);
  return experiments;
}

std::shared_ptr<const APMEExperiment> APMESnapshot::experimentWithID(std::int32_t experimentID) const {
  const auto it = experimentsByExperimentID_.find(experimentID);
  return it == experimentsByExperimentID_.end() ? nullptr : it->second;
}

std::shared_ptr<APMPBFlag> APMESnapshot::flagByName(const std::string& name) const {
  for (const auto& [id, experiment] : experimentsByExperimentID_) {
    if (auto flag = experiment->flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const std::shared_ptr<APMPBFlag>& flag, std::optional<std::int32_t> experimentID) {
  if (!experimentID) {
    APMLog(2, 840003, "Cannot add flag into empty experiment ID");
    return;
  }
  if (!flag) {
    APMLog(2, 840004, "Cannot add an invalid flag into a snapshot");
    return;
  }
  auto& experiment = experimentsByExperimentID_[*experimentID];
  if (!experiment) {
    experiment = APMEExperiment::initWithExperimentID(*experimentID, {flag});
  } else {
    experiment->addFlag(flag);
  }
}

void APMESnapshot::addFlags(const APMEExperiment::Flags& flags, std::optional<std::int32_t> experimentID) {
  for (const auto& flag : flags) addFlag(flag, experimentID);
}

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
  auto proto = APMPBSnapshot::initWithMessageInfo();
  if (!proto) return nullptr;
  NANOSetString(proto.get(), kSnapshotSDKName, SDKName_);
  std::vector<std::shared_ptr<APMPBExperiment>> experiments;
  for (const auto& [id, experiment] : experimentsByExperimentID_) {
    if (auto experimentProto = experiment->proto()) experiments.push_back(experimentProto);
  }
  NANOSetArray(proto.get(), kSnapshotExperiments, experiments);
  return proto;
}

std::shared_ptr<APMESnapshot> APMESnapshot::copy() const { return initWithSDKName(SDKName_, experiments()); }

// --- APMESDKProperty ---

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
  std::string diversionKey = diversionKey_;
  if (diversionKey.empty()) diversionKey = APMEngineDiversionKey().value_or("");
  if (diversionKey.empty()) {
    APMLog(1, 860001, "Diversion key is empty");
    return nullptr;
  }
  auto proto = APMPBClientProperty::initWithMessageInfo();
  if (!proto) return nullptr;
  NANOSetString(proto.get(), kClientSDKName, name_);
  NANOSetString(proto.get(), kClientDiversionKey, diversionKey + "-" + name_);
  NANOSetInt64(proto.get(), kClientVersion, version_);
  NANOSetString(proto.get(), kClientAppID, appID_);
  std::map<std::string, std::string> custom = customProperties_;
  if (auto delegate = delegate_.lock()) {
    if (auto dynamic = delegate->dynamicCustomPropertiesForSDKProperty(*this)) {
      for (auto& [key, value] : *dynamic) custom.insert_or_assign(key, value);
    }
  }
  if (!custom.empty()) {
    std::vector<std::shared_ptr<APMPBCustomProperty>> properties;
    for (const auto& [key, value] : custom) {
      auto property = APMPBCustomProperty::initWithMessageInfo();
      NANOSetString(property.get(), kCustomName, key);
      NANOSetString(property.get(), kCustomValue, value);
      properties.push_back(property);
    }
    NANOSetArray(proto.get(), kClientCustomProperties, properties);
  }
  return proto;
}
