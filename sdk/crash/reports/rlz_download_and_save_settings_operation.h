// The settings download: one GET of the settings endpoint, retried once, whose body replaces the
// settings directory's "settings.json" byte for byte. The delegate hears the outcome once.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sdk/crash/network/rlz_network_operation.h"

class RLZInstallIdentifierModel;
class RLZTSMNetworkClient;
class RLZDownloadAndSaveSettingsOperation;

class RLZDownloadAndSaveSettingsOperationDelegate {
 public:
  virtual ~RLZDownloadAndSaveSettingsOperationDelegate() = default;
  // `error` is unset on success.
  virtual void operationDidDownloadAndSaveSettingsWithError(RLZDownloadAndSaveSettingsOperation& operation,
                                                            const platform::Error& error) = 0;
  // Runs the replacement of the settings directory; the owner of the settings serialises it with
  // its own file work.
  virtual void performSettingsFileOperation(const std::function<void()>& block) { block(); }
};

class RLZDownloadAndSaveSettingsOperation : public RLZNetworkOperation {
 public:
  static constexpr unsigned kRetryLimit = 1;

  // None when the app ID is missing or empty.
  static std::shared_ptr<RLZDownloadAndSaveSettingsOperation> initWithVidezuAppID(
      const std::optional<std::string>& videzuAppID,
      const std::weak_ptr<RLZDownloadAndSaveSettingsOperationDelegate>& delegate, std::string settingsURL,
      std::string settingsDirectoryPath, std::string settingsFilePath,
      std::shared_ptr<RLZInstallIdentifierModel> installIDModel, const std::shared_ptr<RLZTSMNetworkClient>& networkClient,
      std::shared_ptr<RLZDataCollectionToken> token);

  RLZDownloadAndSaveSettingsOperation(std::string videzuAppID,
                                      std::weak_ptr<RLZDownloadAndSaveSettingsOperationDelegate> delegate,
                                      std::string settingsURL, std::string settingsDirectoryPath,
                                      std::string settingsFilePath,
                                      std::shared_ptr<RLZInstallIdentifierModel> installIDModel,
                                      std::weak_ptr<RLZTSMNetworkClient> networkClient,
                                      std::shared_ptr<RLZDataCollectionToken> token);

  platform::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url) override;
  void main() override;

  const std::string& settingsURL() const { return settingsURL_; }
  // Only read once the operation has finished.
  const platform::Error& error() const { return error_; }

 private:
  void saveDownloadedFile(const std::string& location);
  void finish();

  const std::weak_ptr<RLZDownloadAndSaveSettingsOperationDelegate> delegate_;
  const std::string settingsURL_;
  const std::string settingsDirectoryPath_;
  const std::string settingsFilePath_;
  const std::shared_ptr<RLZInstallIdentifierModel> installIDModel_;
  const std::weak_ptr<RLZTSMNetworkClient> networkClient_;
  // Written once, on the session's queue, before the delegate and the finish.
  platform::Error error_;
};
