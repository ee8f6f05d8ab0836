#include "sdk/crash/reports/rlz_download_and_save_settings_operation.h"

#include <filesystem>

#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/network/rlz_network_response_handler.h"
#include "sdk/crash/network/rlz_tsm_network_client.h"
#include "sdk/crash/reports/rlz_identifiers.h"

std::shared_ptr<RLZDownloadAndSaveSettingsOperation> RLZDownloadAndSaveSettingsOperation::initWithVidezuAppID(
    const std::optional<std::string>& videzuAppID,
    const std::weak_ptr<RLZDownloadAndSaveSettingsOperationDelegate>& delegate, std::string settingsURL,
    std::string settingsDirectoryPath, std::string settingsFilePath,
    std::shared_ptr<RLZInstallIdentifierModel> installIDModel, const std::shared_ptr<RLZTSMNetworkClient>& networkClient,
    std::shared_ptr<RLZDataCollectionToken> token) {
  if (!isValidVidezuAppID(videzuAppID)) return nullptr;
  return std::make_shared<RLZDownloadAndSaveSettingsOperation>(
      *videzuAppID, delegate, std::move(settingsURL), std::move(settingsDirectoryPath), std::move(settingsFilePath),
      std::move(installIDModel), networkClient, std::move(token));
}

RLZDownloadAndSaveSettingsOperation::RLZDownloadAndSaveSettingsOperation(
    std::string videzuAppID, std::weak_ptr<RLZDownloadAndSaveSettingsOperationDelegate> delegate,
    std::string settingsURL, std::string settingsDirectoryPath, std::string settingsFilePath,
    std::shared_ptr<RLZInstallIdentifierModel> installIDModel, std::weak_ptr<RLZTSMNetworkClient> networkClient,
    std::shared_ptr<RLZDataCollectionToken> token)
    : RLZNetworkOperation(std::move(videzuAppID), std::move(token)),
      delegate_(std::move(delegate)),
      settingsURL_(std::move(settingsURL)),
      settingsDirectoryPath_(std::move(settingsDirectoryPath)),
      settingsFilePath_(std::move(settingsFilePath)),
      installIDModel_(std::move(installIDModel)),
      networkClient_(std::move(networkClient)) {}

platform::URLRequest RLZDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) {
  platform::URLRequest request = RLZNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
  request.setHTTPMethod("GET");
  request.setValueForHTTPHeaderField("application/json", "Accept");
  request.setValueForHTTPHeaderField(installIDModel_ ? installIDModel_->installID() : std::string(),
                                     "X-Ralitoze-Installation-ID");
  request.setValueForHTTPHeaderField(RLZHostSysctlString("hw.machine").value_or(""), "X-Ralitoze-Device-Model");
  request.setValueForHTTPHeaderField(RLZHostOSBuildVersion().value_or(""), "X-Ralitoze-OS-Build-Version");
  request.setValueForHTTPHeaderField(RLZHostOSDisplayVersion(), "X-Ralitoze-OS-Display-Version");
  request.setValueForHTTPHeaderField(RLZSDKVersion(), "X-Ralitoze-API-Client-Version");
  return request;
}

void RLZDownloadAndSaveSettingsOperation::main() {
  const platform::URLRequest request = mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(settingsURL_);
  auto client = networkClient_.lock();
  if (!client) {
    // The manager let its client go: nothing can be fetched any more.
    error_ = RLZNetworkResponseHandler::errorForCode(kRLZNetworkErrorTaskNotCreated, {});
    finish();
    return;
  }
  auto self = std::static_pointer_cast<RLZDownloadAndSaveSettingsOperation>(shared_from_this());
  client->startDownloadTaskWithRequest(
      request, kRetryLimit,
      [self](const std::optional<std::filesystem::path>& location, const std::shared_ptr<platform::HTTPURLResponse>&,
             const platform::Error& error) {
        if (error) {
          self->error_ = error;
        } else if (location) {
          self->saveDownloadedFile(location->string());
        }
        self->finish();
      });
}

void RLZDownloadAndSaveSettingsOperation::saveDownloadedFile(const std::string& location) {
  auto save = [&] {
    auto& files = platform::FileManager::defaultManager();
    files.removeItem(settingsDirectoryPath_);  // the old cache key goes with it
    files.createDirectory(settingsDirectoryPath_, true);
    platform::Error moveError;
    if (!files.moveItem(location, settingsFilePath_, &moveError)) {
      RLZErrorLog("Unable to complete settings download %@", moveError.description());
      error_ = moveError ? moveError
                         : RLZNetworkResponseHandler::errorForCode(kRLZNetworkErrorFailedResponse, {});
    }
  };
  if (auto delegate = delegate_.lock()) {
    delegate->performSettingsFileOperation(save);
  } else {
    save();
  }
}

void RLZDownloadAndSaveSettingsOperation::finish() {
  if (auto delegate = delegate_.lock()) delegate->operationDidDownloadAndSaveSettingsWithError(*this, error_);
  finishWithError(error_);
}
