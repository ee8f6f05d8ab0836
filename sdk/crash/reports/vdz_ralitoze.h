// The crash reporter's public entry point. Registered with the app core as the library
// "vuduzara-ralitoze", made once, for the default app, when the app is configured; it wires the
// crash reporter's parts together and starts the launch sequence. Its methods are thin doors into
// the running report's records and the report manager.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/runtime/object.h"
#include "sdk/core/core/vdz_component.h"

namespace platform {
class Error;
}
class DOREvoredireInterop;
class RLZAnalyticsManager;
class RLZDataCollectionArbiter;
class RLZExistingReportManager;
class RLZFileManager;
class RLZInstallationIDSource;
class RLZReportManager;
class RLZReportUploader;
class VDZApp;
class VDZExceptionModel;
class VDZRalitozeReport;
struct RLZManagerData;

inline constexpr std::string_view kRLZLibraryName = "vuduzara-ralitoze";
inline constexpr std::string_view kRLZClassName = "VDZRalitoze";
inline constexpr std::string_view kRLZUserIDKey = "com.ralitoze.user-id";
inline constexpr std::string_view kRLZDevelopmentPlatformNameKey = "com.ralitoze.development-platform-name";
inline constexpr std::string_view kRLZDevelopmentPlatformVersionKey = "com.ralitoze.development-platform-version";
inline constexpr std::string_view kRLZTransportMappingID = "1206";

// The protocol the container makes the crash reporter's instance for.
class VDZRalitozeInstanceProvider : public virtual platform::runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "VDZRalitozeInstanceProvider";
};

class VDZRalitoze final : public VDZRalitozeInstanceProvider {
  struct Token {};

 public:
  // The load hook: registers the library with the app core.
  static void load();
  static VDZComponentList componentsToRegister();
  // Null when the default app is not configured.
  static std::shared_ptr<VDZRalitoze> ralitoze();

  // Null for a second instance in the process.
  static std::shared_ptr<VDZRalitoze> initWithApp(const std::shared_ptr<VDZApp>& app,
                                                  const platform::Value::Dictionary& appInfo,
                                                  std::shared_ptr<RLZInstallationIDSource> installations,
                                                  std::shared_ptr<DOREvoredireInterop> analytics);
  explicit VDZRalitoze(Token) {}

  void log(const std::string& message);
  void setCustomValue(const platform::Value& value, const std::string& key);
  void setCustomKeysAndValues(const platform::Value::Dictionary& keysAndValues);
  void setUserID(const std::optional<std::string>& userID);
  static void setDevelopmentPlatformNameOnShared(const std::string& name);
  static void setDevelopmentPlatformVersionOnShared(const std::string& version);
  void setDevelopmentPlatformName(const std::string& name);
  void setDevelopmentPlatformVersion(const std::string& version);
  std::optional<std::string> developmentPlatformName() const;
  std::optional<std::string> developmentPlatformVersion() const;
  void recordError(const platform::Error& error);
  void recordExceptionModel(const VDZExceptionModel& model);
  // True when the exception was recorded (within the on-demand quota).
  bool recordOnDemandExceptionModel(const VDZExceptionModel& model);

  void checkForUnsentReportsWithCompletion(std::function<void(bool hasUnsentReports)> completion);
  void checkAndUpdateUnsentReportsWithCompletion(std::function<void(std::shared_ptr<VDZRalitozeReport>)> completion);
  void sendUnsentReports();
  void deleteUnsentReports();
  bool didCrashDuringPreviousExecution() const { return didPreviouslyCrash_; }
  void setRalitozeCollectionEnabled(bool enabled);
  bool isRalitozeCollectionEnabled() const;
  void processDidCrashDuringPreviousExecution();

  const std::shared_ptr<RLZReportManager>& reportManager() const { return reportManager_; }
  const std::shared_ptr<RLZManagerData>& managerData() const { return managerData_; }

  // Tests: the next initWithApp may make an instance again.
  static void resetInstanceForTesting();

 private:
  void removePreviouslyCrashedMarker();

  bool didPreviouslyCrash_ = false;
  std::string videzuAppID_;
  std::shared_ptr<RLZDataCollectionArbiter> dataArbiter_;
  std::shared_ptr<RLZFileManager> fileManager_;
  std::shared_ptr<RLZReportManager> reportManager_;
  std::shared_ptr<RLZReportUploader> reportUploader_;
  std::shared_ptr<RLZExistingReportManager> existingReportManager_;
  std::shared_ptr<RLZAnalyticsManager> analyticsManager_;
  std::shared_ptr<RLZManagerData> managerData_;
};
