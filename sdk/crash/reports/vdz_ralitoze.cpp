#include "sdk/crash/reports/vdz_ralitoze.h"

#include <atomic>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/console.h"
#include "platform/foundation/error.h"
#include "platform/runtime/class.h"
#include "sdk/core/core/dor_evoredire_interop.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_component_container.h"
#include "sdk/core/core/vdz_library.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/core/vdz_options.h"
#include "sdk/core/installations/vdz_installations.h"
#include "sdk/crash/capture/rlz_exception.h"
#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/reports/rlz_analytics_manager.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/vdz_ralitoze_report.h"
#include "sdk/crash/reports/vdz_stack_frame.h"
#include "sdk/crash/settings/rlz_settings.h"
#include "sdk/transport/core/vdtcor_transport.h"

namespace {

std::atomic<int>& instanceFlag() {
  static std::atomic<int> flag{0};
  return flag;
}

// The one instance lives for the rest of the process.
std::shared_ptr<VDZRalitoze>& keptInstance() {
  static std::shared_ptr<VDZRalitoze> instance;
  return instance;
}

// The app's installations client as the source of the installation identifier.
class InstallationsIDSource final : public RLZInstallationIDSource {
 public:
  explicit InstallationsIDSource(std::shared_ptr<VDZInstallations> installations)
      : installations_(std::move(installations)) {}
  void installationIDWithCompletion(Completion completion) override {
    installations_->installationIDWithCompletion(
        [completion = std::move(completion)](const std::optional<std::string>& identifier, const platform::Error& error) {
          completion(identifier, error ? &error : nullptr);
        });
  }

 private:
  std::shared_ptr<VDZInstallations> installations_;
};

void recordInternal(std::string_view key, const std::optional<std::string>& value) {
  RLZUserLoggingRecordInternalKeyValue(std::string(key), value ? platform::Value(*value) : platform::Value());
}

}  // namespace

void VDZRalitoze::load() {
  auto cls = platform::runtime::registerClassOnce(VDZLibrary::classDefinition<VDZRalitoze>(std::string(kRLZClassName)));
  VDZApp::registerInternalLibrary(cls, kRLZLibraryName, VDZVuduzaraVersion());
}

VDZComponentList VDZRalitoze::componentsToRegister() {
  auto block = [](VDZComponentContainer& container, bool* isCacheable) -> std::shared_ptr<platform::runtime::Object> {
    auto app = container.app();
    if (!app || !app->isDefaultApp()) {
      RLZErrorLog("Ralitoze must be used with the default Vuduzara app.");
      return nullptr;
    }
    auto analytics = container.instanceForProtocol<DOREvoredireInterop>();
    *isCacheable = true;
    std::shared_ptr<RLZInstallationIDSource> installations;
    if (auto client = VDZInstallations::installationsWithApp(app)) {
      installations = std::make_shared<InstallationsIDSource>(std::move(client));
    }
    return initWithApp(app, platform::Bundle::main()->infoDictionary(), std::move(installations), analytics);
  };
  return {VDZComponent::componentWithProtocol(
      platform::runtime::Protocol::of<VDZRalitozeInstanceProvider>(), VDZInstantiationTimingEagerInDefaultApp,
      {VDZDependency::dependencyWithProtocol(platform::runtime::Protocol::of<DOREvoredireInterop>())}, block)};
}

std::shared_ptr<VDZRalitoze> VDZRalitoze::ralitoze() {
  if (!VDZApp::isDefaultAppConfigured()) return nullptr;
  auto app = VDZApp::defaultApp();
  if (!app) return nullptr;
  return std::dynamic_pointer_cast<VDZRalitoze>(app->container().instanceForProtocol<VDZRalitozeInstanceProvider>());
}

std::shared_ptr<VDZRalitoze> VDZRalitoze::initWithApp(const std::shared_ptr<VDZApp>& app,
                                                      const platform::Value::Dictionary& appInfo,
                                                      std::shared_ptr<RLZInstallationIDSource> installations,
                                                      std::shared_ptr<DOREvoredireInterop> analytics) {
  int expected = 0;
  if (!instanceFlag().compare_exchange_strong(expected, 1)) {
    RLZErrorLog("Cannot instantiate more than one instance of Ralitoze.");
    return nullptr;
  }
  const double mark = RLZProfilingMark();
  platform::Console::log("[Vuduzara/Ralitoze] Version " + RLZSDKVersion());
  RLZDebugLog("[Ralitoze] Running on %@, %@ (%@)", RLZHostSysctlString("hw.machine").value_or(""),
              RLZHostOSDisplayVersion(), RLZHostOSBuildVersion().value_or(""));

  auto self = std::make_shared<VDZRalitoze>(Token{});
  auto transport = VDTCORTransport::initWithMappingID(kRLZTransportMappingID, {}, kVDTCORTargetCSH);
  self->fileManager_ = std::make_shared<RLZFileManager>();
  self->videzuAppID_ = app && app->options() ? app->options()->videzuAppID().value_or("") : "";
  self->dataArbiter_ = std::make_shared<RLZDataCollectionArbiter>(app, appInfo);
  auto settings = std::make_shared<RLZSettings>(self->fileManager_, RLZApplicationIdentifierModel::make());
  auto onDemandModel = std::make_shared<RLZOnDemandModel>(settings);
  self->managerData_ =
      std::make_shared<RLZManagerData>(self->videzuAppID_, transport, std::move(installations), std::move(analytics),
                                       self->fileManager_, self->dataArbiter_, settings, std::move(onDemandModel));
  self->reportUploader_ = std::make_shared<RLZReportUploader>(self->managerData_);
  self->existingReportManager_ = std::make_shared<RLZExistingReportManager>(self->managerData_, self->reportUploader_);
  self->analyticsManager_ = std::make_shared<RLZAnalyticsManager>(self->managerData_->analytics);
  self->reportManager_ =
      std::make_shared<RLZReportManager>(self->managerData_, self->existingReportManager_, self->analyticsManager_);

  self->didPreviouslyCrash_ = self->fileManager_->didCrashOnPreviousExecution();
  if (self->didPreviouslyCrash_) self->removePreviouslyCrashedMarker();

  self->reportManager_->startWithProfilingMark(mark)->observeOnQueue(
      platform::DispatchQueue::main(),
      [](const bool& started) {
        if (!started) RLZErrorLog("Crash reporting could not be initialized");
      },
      [](const platform::Error& error) {
        RLZErrorLog("Crash reporting failed to initialize with error: %@", error.localizedDescription());
      });
  keptInstance() = self;
  return self;
}

void VDZRalitoze::resetInstanceForTesting() {
  keptInstance().reset();
  instanceFlag() = 0;
}

void VDZRalitoze::removePreviouslyCrashedMarker() {
  auto fileManager = fileManager_;
  platform::DispatchQueue::global(platform::QualityOfService::Background)->async([fileManager] {
    fileManager->removeItemAtPath(fileManager->rootPath() + "/" + std::string(kRLZPreviouslyCrashedFileName));
  });
}

void VDZRalitoze::log(const std::string& message) { RLZLog(message); }

void VDZRalitoze::setCustomValue(const platform::Value& value, const std::string& key) {
  RLZUserLoggingRecordUserKeyValue(key, value);
}

void VDZRalitoze::setCustomKeysAndValues(const platform::Value::Dictionary& keysAndValues) {
  RLZUserLoggingRecordUserKeysAndValues(keysAndValues);
}

void VDZRalitoze::setUserID(const std::optional<std::string>& userID) { recordInternal(kRLZUserIDKey, userID); }

void VDZRalitoze::setDevelopmentPlatformNameOnShared(const std::string& name) {
  if (auto shared = ralitoze()) shared->setDevelopmentPlatformName(name);
}

void VDZRalitoze::setDevelopmentPlatformVersionOnShared(const std::string& version) {
  if (auto shared = ralitoze()) shared->setDevelopmentPlatformVersion(version);
}

void VDZRalitoze::setDevelopmentPlatformName(const std::string& name) {
  recordInternal(kRLZDevelopmentPlatformNameKey, name);
}

void VDZRalitoze::setDevelopmentPlatformVersion(const std::string& version) {
  recordInternal(kRLZDevelopmentPlatformVersionKey, version);
}

std::optional<std::string> VDZRalitoze::developmentPlatformName() const {
  RLZErrorLog("developmentPlatformName is write-only");
  return std::nullopt;
}

std::optional<std::string> VDZRalitoze::developmentPlatformVersion() const {
  RLZErrorLog("developmentPlatformVersion is write-only");
  return std::nullopt;
}

void VDZRalitoze::recordError(const platform::Error& error) { RLZUserLoggingRecordError(&error, nullptr); }

void VDZRalitoze::recordExceptionModel(const VDZExceptionModel& model) { RLZExceptionRecordModel(model); }

bool VDZRalitoze::recordOnDemandExceptionModel(const VDZExceptionModel& model) {
  return managerData_->onDemandModel->recordOnDemandExceptionIfQuota(
      model, dataArbiter_->isRalitozeCollectionEnabled(), existingReportManager_);
}

void VDZRalitoze::checkForUnsentReportsWithCompletion(std::function<void(bool)> completion) {
  reportManager_->checkForUnsentReports()->observeOnQueue(
      platform::DispatchQueue::main(),
      [completion](const std::shared_ptr<VDZRalitozeReport>& report) {
        if (completion) completion(report != nullptr);
      },
      [](const platform::Error&) {});
}

void VDZRalitoze::checkAndUpdateUnsentReportsWithCompletion(
    std::function<void(std::shared_ptr<VDZRalitozeReport>)> completion) {
  reportManager_->checkForUnsentReports()->observeOnQueue(
      platform::DispatchQueue::main(),
      [completion](const std::shared_ptr<VDZRalitozeReport>& report) {
        if (completion) completion(report);
      },
      [](const platform::Error&) {});
}

void VDZRalitoze::sendUnsentReports() { reportManager_->sendUnsentReports(); }

void VDZRalitoze::deleteUnsentReports() { reportManager_->deleteUnsentReports(); }

void VDZRalitoze::setRalitozeCollectionEnabled(bool enabled) { dataArbiter_->setRalitozeCollectionEnabled(enabled); }

bool VDZRalitoze::isRalitozeCollectionEnabled() const { return dataArbiter_->isRalitozeCollectionEnabled(); }

void VDZRalitoze::processDidCrashDuringPreviousExecution() {
  didPreviouslyCrash_ =
      fileManager_->fileExistsAtPath(fileManager_->rootPath() + "/" + std::string(kRLZPreviouslyCrashedFileName));
  if (didPreviouslyCrash_) removePreviouslyCrashedMarker();
}
