// The experiment component's models: an experiment (an ID and its flags by name), a snapshot (one
// SDK's experiments by ID, with the time it was made and whether the SDK activates it itself) and
// the SDK property an SDK registers under. Experiment ID 0 holds launched flags.
//
// Models are built and changed on one thread, then handed on and only read.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/analytics/messages/apmpb_messages.h"

inline constexpr std::int32_t kAPMELaunchedExperimentID = 0;
// An activated snapshot this old or older (seconds) is stale.
inline constexpr double kAPMEStaleSnapshotAge = 259200;

class APMEExperiment {
 public:
  using Flags = std::vector<std::shared_ptr<APMPBFlag>>;

  // Null (logged) when a flag is missing.
  static std::shared_ptr<APMEExperiment> initWithExperimentID(std::int32_t experimentID, const Flags& flags);
  static std::shared_ptr<APMEExperiment> initWithProtobuf(const APMPBExperiment& proto);

  std::int32_t experimentID() const { return experimentID_; }
  Flags flags() const;
  // A flag without a name is logged and ignored; a later flag of a name replaces an earlier one.
  void addFlag(const std::shared_ptr<APMPBFlag>& flag);
  std::shared_ptr<APMPBFlag> flagWithName(const std::string& name) const;
  std::shared_ptr<APMPBExperiment> proto() const;
  std::shared_ptr<APMEExperiment> copy() const;

 private:
  explicit APMEExperiment(std::int32_t experimentID) : experimentID_(experimentID) {}
  std::map<std::string, std::shared_ptr<APMPBFlag>> flagsByName_;
  std::int32_t experimentID_;
};

class APMESnapshot {
 public:
  using Experiments = std::vector<std::shared_ptr<APMEExperiment>>;

  // Stamped now, not manually activated; null (logged) for an empty SDK name or a missing
  // experiment. Experiments are copied; a later duplicate ID replaces an earlier one.
  static std::shared_ptr<APMESnapshot> initWithSDKName(const std::string& SDKName, const Experiments& experiments);
  static std::shared_ptr<APMESnapshot> initWithProtobuf(const APMPBSnapshot& proto);

  const std::string& SDKName() const { return SDKName_; }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

  // In ascending order of ID.
  Experiments experiments() const;
  std::shared_ptr<const APMEExperiment> experimentWithID(std::int32_t experimentID) const;
  // The flag from the first experiment, by ascending ID, that has one of that name.
  std::shared_ptr<APMPBFlag> flagByName(const std::string& name) const;
  void addFlag(const std::shared_ptr<APMPBFlag>& flag, std::optional<std::int32_t> experimentID);
  void addFlags(const APMEExperiment::Flags& flags, std::optional<std::int32_t> experimentID);
  std::shared_ptr<APMPBSnapshot> proto() const;
  // Same SDK and experiments, stamped now and not manually activated.
  std::shared_ptr<APMESnapshot> copy() const;

 private:
  APMESnapshot() = default;
  std::map<std::int32_t, std::shared_ptr<APMEExperiment>> experimentsByExperimentID_;
  bool manuallyActivated_ = false;
  std::string SDKName_;
  double timestamp_ = 0;
};

class APMESDKProperty;

// Optional custom properties an SDK computes at request time.
class APMESDKPropertyProviderDelegate {
 public:
  virtual ~APMESDKPropertyProviderDelegate() = default;
  virtual std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) {
    (void)property;
    return std::nullopt;
  }
};

class APMESDKProperty {
 public:
  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  std::int64_t version() const { return version_; }
  void setVersion(std::int64_t version) { version_ = version; }
  const std::string& appID() const { return appID_; }
  void setAppID(std::string appID) { appID_ = std::move(appID); }
  const std::string& diversionKey() const { return diversionKey_; }
  void setDiversionKey(std::string key) { diversionKey_ = std::move(key); }
  const std::map<std::string, std::string>& customProperties() const { return customProperties_; }
  void setCustomProperties(std::map<std::string, std::string> properties) { customProperties_ = std::move(properties); }
  std::shared_ptr<APMESDKPropertyProviderDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate) { delegate_ = std::move(delegate); }

  // The request's client property; null (logged) when neither the property nor the engine's
  // identity has a diversion key.
  std::shared_ptr<APMPBClientProperty> proto() const;

 private:
  const std::string name_;
  std::int64_t version_ = 0;
  std::string appID_;
  std::string diversionKey_;
  std::map<std::string, std::string> customProperties_;
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;
};

// Seconds since 1970 on the platform clock.
double APMENow();
