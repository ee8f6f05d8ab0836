// Decides when uploads are attempted: every 30 seconds while the app is in front, and at once for
// a target whose storage took a tier-4 event. Each request carries the current network conditions.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_lifecycle_protocol.h"
#include "sdk/transport/core/vdtcor_uploader.h"

namespace platform {
class DispatchQueue;
class DispatchTimerSource;
}  // namespace platform

class VDTCORRegistrar;
class VDTCORStorageProtocol;

class VDTCORUploadCoordinator final : public VDTCORLifecycleProtocol,
                                      public std::enable_shared_from_this<VDTCORUploadCoordinator> {
  struct Token {};

 public:
  static constexpr std::uint64_t kTimerInterval = 30'000'000'000;  // ns
  static constexpr std::uint64_t kTimerLeeway = 5'000'000'000;     // ns
  static constexpr std::uint64_t kTimerStartDelay = 500'000'000;   // ns

  explicit VDTCORUploadCoordinator(Token);

  // Creating the shared coordinator starts its timer.
  static std::shared_ptr<VDTCORUploadCoordinator> sharedInstance();
  // Stops the timer of the instance given up.
  static void resetSharedInstanceForTesting();

  // Queued; does nothing while a timer exists.
  void startTimer();
  // Run it on the coordination queue.
  void stopTimer();
  // Queued: one request for the target with the current conditions plus the forced-upload bit.
  void forceUploadForTarget(VDTCORTarget target);
  // Queued: asks the uploader of each target, in order, unless there is no network.
  void uploadTargets(std::vector<VDTCORTarget> targets, VDTCORUploadConditions conditions);
  // No network, cellular or Wi-Fi, from the reachability flags.
  VDTCORUploadConditions uploadConditions() const;
  // Every distinct registered storage sweeps its expired events and batches.
  void signalToStoragesToCheckExpirations();
  // Null, after a failed assertion, when no storage serves the target.
  std::shared_ptr<VDTCORStorageProtocol> storageForTarget(VDTCORTarget target);

  void appWillForeground(VDTCORApplication& app) override;
  void appWillBackground(VDTCORApplication& app) override;
  void appWillTerminate(VDTCORApplication& app) override;

  const std::shared_ptr<platform::DispatchQueue>& coordinationQueue() const { return coordinationQueue_; }
  // Whether the timer runs; read on the coordination queue.
  bool timerIsRunning() const;
  std::uint64_t timerInterval() const { return kTimerInterval; }
  std::uint64_t timerLeeway() const { return kTimerLeeway; }
  const std::shared_ptr<VDTCORRegistrar>& registrar() const { return registrar_; }

 private:
  void timerFired();

  std::shared_ptr<platform::DispatchQueue> coordinationQueue_;
  std::shared_ptr<VDTCORRegistrar> registrar_;
  std::shared_ptr<platform::DispatchTimerSource> timer_;  // coordination queue only
};
