// Which stored events of a target a batch takes: every filter that is present and not empty must
// match (event ID, tier, unescaped mapping ID).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "sdk/transport/core/vdtcor_event.h"

class VDTCORStorageEventSelector {
 public:
  VDTCORStorageEventSelector(VDTCORTarget target, std::optional<std::set<std::string>> eventIDs,
                             std::optional<std::set<std::string>> mappingIDs,
                             std::optional<std::set<std::int64_t>> qosTiers)
      : selectedTarget_(target),
        selectedEventIDs_(std::move(eventIDs)),
        selectedMappingIDs_(std::move(mappingIDs)),
        selectedQosTiers_(std::move(qosTiers)) {}

  static std::shared_ptr<VDTCORStorageEventSelector> initWithTarget(
      VDTCORTarget target, std::optional<std::set<std::string>> eventIDs,
      std::optional<std::set<std::string>> mappingIDs, std::optional<std::set<std::int64_t>> qosTiers) {
    return std::make_shared<VDTCORStorageEventSelector>(target, std::move(eventIDs), std::move(mappingIDs),
                                                        std::move(qosTiers));
  }
  // Every event of the target.
  static std::shared_ptr<VDTCORStorageEventSelector> eventSelectorForTarget(VDTCORTarget target) {
    return initWithTarget(target, std::nullopt, std::nullopt, std::nullopt);
  }

  VDTCORTarget selectedTarget() const { return selectedTarget_; }
  const std::optional<std::set<std::string>>& selectedEventIDs() const { return selectedEventIDs_; }
  const std::optional<std::set<std::string>>& selectedMappingIDs() const { return selectedMappingIDs_; }
  const std::optional<std::set<std::int64_t>>& selectedQosTiers() const { return selectedQosTiers_; }

 private:
  VDTCORTarget selectedTarget_;
  std::optional<std::set<std::string>> selectedEventIDs_;
  std::optional<std::set<std::string>> selectedMappingIDs_;
  std::optional<std::set<std::int64_t>> selectedQosTiers_;
};
