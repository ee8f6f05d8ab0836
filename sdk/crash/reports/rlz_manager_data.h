// What the launch-time managers share: the app's identifiers, the transport, the file manager,
// the data-collection switch, the settings, and the one serial work queue every report move,
// deletion and submission runs on.
#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/reports/rlz_identifiers.h"

class DOREvoredireInterop;
class RLZDataCollectionArbiter;
class RLZFileManager;
class RLZOnDemandModel;
class RLZSettings;
class VDTCORTransport;

inline constexpr std::string_view kRLZStartupQueueLabel = "com.videzu.vuduzara.ralitoze.startup";

struct RLZManagerData {
  RLZManagerData(std::string videzuAppID, std::shared_ptr<VDTCORTransport> videzuTransport,
                 std::shared_ptr<RLZInstallationIDSource> installations, std::shared_ptr<DOREvoredireInterop> analytics,
                 std::shared_ptr<RLZFileManager> fileManager, std::shared_ptr<RLZDataCollectionArbiter> dataArbiter,
                 std::shared_ptr<RLZSettings> settings, std::shared_ptr<RLZOnDemandModel> onDemandModel)
      : videzuAppID(std::move(videzuAppID)),
        videzuTransport(std::move(videzuTransport)),
        installations(std::move(installations)),
        analytics(std::move(analytics)),
        fileManager(std::move(fileManager)),
        dataArbiter(std::move(dataArbiter)),
        settings(std::move(settings)),
        onDemandModel(std::move(onDemandModel)),
        appIDModel(RLZApplicationIdentifierModel::make()),
        installIDModel(std::make_shared<RLZInstallIdentifierModel>(this->installations)),
        executionIDModel(std::make_shared<RLZExecutionIdentifierModel>()),
        dispatchQueue(platform::DispatchQueue::serial(std::string(kRLZStartupQueueLabel))) {}

  const std::string videzuAppID;
  const std::shared_ptr<VDTCORTransport> videzuTransport;
  const std::shared_ptr<RLZInstallationIDSource> installations;
  const std::shared_ptr<DOREvoredireInterop> analytics;
  const std::shared_ptr<RLZFileManager> fileManager;
  const std::shared_ptr<RLZDataCollectionArbiter> dataArbiter;
  const std::shared_ptr<RLZSettings> settings;
  const std::shared_ptr<RLZOnDemandModel> onDemandModel;
  const std::shared_ptr<RLZApplicationIdentifierModel> appIDModel;
  const std::shared_ptr<RLZInstallIdentifierModel> installIDModel;
  const std::shared_ptr<RLZExecutionIdentifierModel> executionIDModel;
  // The pipeline's work queue: one job at a time, in submission order.
  const std::shared_ptr<platform::DispatchQueue> dispatchQueue;
};
