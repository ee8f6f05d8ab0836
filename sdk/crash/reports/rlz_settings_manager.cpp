#include "sdk/crash/reports/rlz_settings_manager.h"

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/date.h"
#include "platform/foundation/format.h"
#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/network/rlz_network_response_handler.h"
#include "sdk/crash/network/rlz_service_endpoints.h"
#include "sdk/crash/network/rlz_tsm_network_client.h"
#include "sdk/crash/network/rlz_url_builder.h"
#include "sdk/crash/settings/rlz_settings.h"

RLZSettingsManager::RLZSettingsManager(std::shared_ptr<RLZApplicationIdentifierModel> appIDModel,
                                       std::shared_ptr<RLZInstallIdentifierModel> installIDModel,
                                       std::shared_ptr<RLZSettings> settings,
                                       std::shared_ptr<RLZFileManager> fileManager, std::string videzuAppID)
    : appIDModel_(std::move(appIDModel)),
      installIDModel_(std::move(installIDModel)),
      settings_(std::move(settings)),
      fileManager_(std::move(fileManager)),
      networkClient_(RLZTSMNetworkClient::init()),
      videzuAppID_(std::move(videzuAppID)) {}

void RLZSettingsManager::beginSettingsWithVidezuAppId(const std::string& videzuAppID,
                                                      const std::shared_ptr<RLZDataCollectionToken>& token) {
  if (videzuAppID.empty()) {
    platform::AssertionHandler::handleFailure(__FILE__,
                                              platform::format("Invalid parameter not satisfying: %@", "videzuAppID"));
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    videzuAppID_ = videzuAppID;
  }
  beginSettingsDownload(token);
}

void RLZSettingsManager::beginSettingsDownload(const std::shared_ptr<RLZDataCollectionToken>& token) {
  std::string appID;
  {
    platform::MutexLock lock(mutex_);
    appID = videzuAppID_;
  }
  auto operation = RLZDownloadAndSaveSettingsOperation::initWithVidezuAppID(
      appID, weak_from_this(), settingsURL(), fileManager_->settingsDirectoryPath(), fileManager_->settingsFilePath(),
      installIDModel_, networkClient_, token);
  if (operation) operation->startWithToken(token);
}

std::string RLZSettingsManager::settingsURL() const {
  std::string appID;
  {
    platform::MutexLock lock(mutex_);
    appID = videzuAppID_;
  }
  auto builder = RLZURLBuilder::URLWithBase(RLZSettingsBaseURL());
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent(appIDModel_ ? appIDModel_->platform() : std::string("ios"));
  builder.appendComponent("/vmp/");
  builder.escapeAndAppendComponent(appID);
  builder.appendComponent("/settings");
  // A missing fact leaves its parameter out; the first present one is introduced by "?".
  auto optional = [](std::string text) { return text.empty() ? platform::Value() : platform::Value(std::move(text)); };
  if (appIDModel_) {
    builder.appendValue(optional(appIDModel_->buildVersion()), "build_version");
    builder.appendValue(optional(appIDModel_->displayVersion()), "display_version");
    builder.appendValue(optional(appIDModel_->buildInstanceID()), "instance");
    builder.appendValue(platform::Value(std::to_string(appIDModel_->installSource())), "source");
  }
  return builder.URL();
}

void RLZSettingsManager::finishNetworkingSession() {
  if (networkClient_) networkClient_->invalidateAndCancel();
}

void RLZSettingsManager::operationDidDownloadAndSaveSettingsWithError(RLZDownloadAndSaveSettingsOperation&,
                                                                      const platform::Error& error) {
  if (error) {
    std::string message = "Failed to download settings.";
    const auto& info = error.userInfo();
    if (auto it = info.find(std::string(kRLZNetworkStatusCodeKey));
        it != info.end() && it->second.isNumber() && it->second.integerValue() == 404) {
      message = platform::format("%@ %@", message,
                                 "If this is your first time launching the app, make sure you have enabled Ralitoze in "
                                 "the Vuduzara Console.");
    }
    RLZErrorLog("%@ %@", message, error.description());
    finishNetworkingSession();
    return;
  }
  RLZDebugLog("Settings downloaded successfully");
  std::string appID;
  {
    platform::MutexLock lock(mutex_);
    appID = videzuAppID_;
  }
  settings_->cacheSettingsWithVidezuAppID(appID, platform::Date::now().timeIntervalSinceReferenceDate());
  finishNetworkingSession();
}

void RLZSettingsManager::performSettingsFileOperation(const std::function<void()>& block) {
  settings_->performFileOperation(block);
}
