// Fetches the crash reporter's remote settings once per process, when the launch sequence finds
// the cached ones missing or expired, and has the settings cache and reload what arrived.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/thread_safety.h"
#include "sdk/crash/reports/rlz_download_and_save_settings_operation.h"

class RLZApplicationIdentifierModel;
class RLZDataCollectionToken;
class RLZFileManager;
class RLZInstallIdentifierModel;
class RLZSettings;
class RLZTSMNetworkClient;

class RLZSettingsManager : public RLZDownloadAndSaveSettingsOperationDelegate,
                           public std::enable_shared_from_this<RLZSettingsManager> {
 public:
  RLZSettingsManager(std::shared_ptr<RLZApplicationIdentifierModel> appIDModel,
                     std::shared_ptr<RLZInstallIdentifierModel> installIDModel, std::shared_ptr<RLZSettings> settings,
                     std::shared_ptr<RLZFileManager> fileManager, std::string videzuAppID);

  // An empty app ID fails the parameter assertion and fetches nothing.
  virtual void beginSettingsWithVidezuAppId(const std::string& videzuAppID,
                                            const std::shared_ptr<RLZDataCollectionToken>& token) EXCLUDES(mutex_);
  void beginSettingsDownload(const std::shared_ptr<RLZDataCollectionToken>& token) EXCLUDES(mutex_);
  std::string settingsURL() const EXCLUDES(mutex_);
  void finishNetworkingSession();

  void operationDidDownloadAndSaveSettingsWithError(RLZDownloadAndSaveSettingsOperation& operation,
                                                    const platform::Error& error) override EXCLUDES(mutex_);
  void performSettingsFileOperation(const std::function<void()>& block) override;

  const std::shared_ptr<RLZTSMNetworkClient>& networkClient() const { return networkClient_; }

 private:
  const std::shared_ptr<RLZApplicationIdentifierModel> appIDModel_;
  const std::shared_ptr<RLZInstallIdentifierModel> installIDModel_;
  const std::shared_ptr<RLZSettings> settings_;
  const std::shared_ptr<RLZFileManager> fileManager_;
  const std::shared_ptr<RLZTSMNetworkClient> networkClient_;
  mutable platform::Mutex mutex_;
  // Set on the launch's thread, read by the download's completion on the session's queue.
  std::string videzuAppID_ GUARDED_BY(mutex_);
};
