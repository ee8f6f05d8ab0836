#include "sdk/crash/reports/rlz_identifiers.h"

#include <algorithm>
#include <atomic>
#include <cctype>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/launch/rlz_utilities.h"

RLZExecutionIdentifierModel::RLZExecutionIdentifierModel() {
  std::string uuid = RLZGenerateUUID();
  uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
  std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](unsigned char c) { return std::tolower(c); });
  executionID_ = uuid;
}

RLZInstallIdentifierModel::RLZInstallIdentifierModel(std::shared_ptr<RLZInstallationIDSource> installations)
    : installations_(std::move(installations)) {
  auto stored = readInstallationUUID();
  if (!stored) {
    RLZDebugLog("Generating Install ID");
    stored = generateInstallationUUID();
    RLZUserDefaults::standardUserDefaults()->synchronize();
  }
  setInstallID(*stored);
}

std::string RLZInstallIdentifierModel::installID() const {
  platform::MutexLock lock(mutex_);
  return installID_;
}

void RLZInstallIdentifierModel::setInstallID(std::string installID) {
  platform::MutexLock lock(mutex_);
  installID_ = std::move(installID);
}

std::optional<std::string> RLZInstallIdentifierModel::readInstallationUUID() {
  return RLZUserDefaults::standardUserDefaults()->stringForKey(kRLZInstallUUIDKey);
}

std::string RLZInstallIdentifierModel::generateInstallationUUID() {
  std::string uuid = RLZGenerateUUID();
  RLZUserDefaults::standardUserDefaults()->setString(uuid, kRLZInstallUUIDKey);
  return uuid;
}

bool RLZInstallIdentifierModel::regenerateInstallIDIfNeeded(double timeoutSeconds) {
  if (!installations_) return rotateRalitozeInstallUUIDWithIID(std::nullopt, nullptr);
  // Shared with the completion, which may run after the wait has given up: it still rotates and
  // stores, only its result is no longer reported.
  struct State {
    std::atomic<bool> result{false};
    platform::DispatchSemaphore done{0};
  };
  auto state = std::make_shared<State>();
  std::weak_ptr<RLZInstallIdentifierModel> weakSelf = weak_from_this();
  installations_->installationIDWithCompletion(
      [state, weakSelf](const std::optional<std::string>& identifier, const platform::Error* error) {
        auto self = weakSelf.lock();
        const bool rotated = self && self->rotateRalitozeInstallUUIDWithIID(identifier, error);
        if (rotated) RLZInfoLog("Rotated Ralitoze Install UUID because Vuduzara Install ID changed");
        state->result = rotated;
        state->done.signal();
      });
  if (!state->done.wait(timeoutSeconds)) {
    RLZErrorLog("Ralitoze timed out while checking for Vuduzara Installation ID");
  }
  return state->result;
}

bool RLZInstallIdentifierModel::rotateRalitozeInstallUUIDWithIID(const std::optional<std::string>& identifier,
                                                                  const platform::Error* error) {
  auto defaults = RLZUserDefaults::standardUserDefaults();
  if (auto adid = defaults->stringForKey(kRLZObsoleteADIDKey); adid && !adid->empty()) {
    defaults->removeObjectForKey(kRLZObsoleteADIDKey);
    defaults->synchronize();
  }
  if (error && error->isSet()) {
    RLZErrorLog("Failed to get Vuduzara Instance ID: %@", error->description());
    return false;
  }
  if (!identifier || identifier->empty()) {
    RLZErrorLog("Vuduzara Instance ID was empty when checked for changes");
    return false;
  }
  const std::string hash = RLZ256HashBytes(identifier->data(), identifier->size());
  const auto stored = defaults->stringForKey(kRLZInstallationIDHashKey);
  if (stored && *stored == hash) return false;
  bool rotated = false;
  if (stored && !stored->empty()) {
    RLZDebugLog("Regenerating Install ID");
    setInstallID(generateInstallationUUID());
    rotated = true;
  }
  defaults->setString(hash, kRLZInstallationIDHashKey);
  defaults->synchronize();
  return rotated;
}
