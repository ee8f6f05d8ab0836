// What an SDK registered with the experiment component hears from it.
#pragma once

#include <memory>
#include <optional>

#include "platform/foundation/error.h"

namespace platform {
class DispatchQueue;
}

class APMEClient;

// What an SDK that registers hears from the component. Each method is optional: the defaults
// stand for "not implemented".
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;
  // YES when the SDK wants to be told of new snapshots; it then activates them itself.
  virtual bool observesNewSnapshots() const { return false; }
  virtual void clientDidReceiveNewSnapshot(APMEClient& client) { (void)client; }
  virtual bool observesFetchErrors() const { return false; }
  virtual void clientDidReceiveFetchError(APMEClient& client, const platform::Error& error) {
    (void)client;
    (void)error;
  }
  // None: not implemented (counts as YES).
  virtual std::optional<bool> shouldFetchExperimentsForClient(APMEClient& client) {
    (void)client;
    return std::nullopt;
  }
  // Where new-snapshot notices are delivered; null: the main queue.
  virtual std::shared_ptr<platform::DispatchQueue> queue() const { return nullptr; }
};

