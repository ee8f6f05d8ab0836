// The configured SDK app: a named pairing of locked options with a component container. The
// class keeps every configured app and the default one, registers the SDK libraries, starts the
// analytics engine by class name, makes the eager components, and owns the app-wide
// data-collection switch. The application calls VDZApp::configure() once at launch.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/runtime/object.h"

namespace platform::runtime {
class Class;
}

class DOREvoredireConfiguration;
class VDZComponentContainer;
class VDZOptions;
class VDZVuduzaraUserAgent;

inline constexpr std::string_view kVDZDefaultAppName = "__VDZAPP_DEFAULT";
// The name of every exception the app configuration raises (but the library-registration one),
// and the domain of its errors.
inline constexpr std::string_view kVDZAppExceptionName = "com.vuduzara.core";
inline constexpr std::string_view kVDZErrorDomain = "com.vuduzara.core";
inline constexpr std::int64_t kVDZErrorCodeMissingOptions = -100;
inline constexpr std::int64_t kVDZErrorCodeInvalidAppID = -101;

inline constexpr std::string_view kVDZAppReadyToConfigureSDKNotification = "VDZAppReadyToConfigureSDKNotification";
inline constexpr std::string_view kVDZAppDeleteNotification = "VDZAppDeleteNotification";
inline constexpr std::string_view kVDZAppNameKey = "VDZAppNameKey";
inline constexpr std::string_view kVDZAppIsDefaultAppKey = "VDZAppIsDefaultAppKey";
inline constexpr std::string_view kVDZVidezuAppIDKey = "VDZVidezuAppIDKey";

inline constexpr std::string_view kVDZGlobalAppDataCollectionEnabledDefaultsKeyFormat =
    "/videzu/vuduzara/global_data_collection_enabled:%@";
inline constexpr std::string_view kVDZGlobalAppDataCollectionEnabledPlistKey = "VuduzaraDataCollectionDefaultEnabled";

// The analytics engine is started by name when it is part of the process: its class
// "DOREvoredire" answers this class method with the shared analytics configuration and the
// default app's options.
inline constexpr std::string_view kVDZAnalyticsClassName = "DOREvoredire";
inline constexpr std::string_view kVDZAnalyticsStartSelector = "startWithConfiguration:options:";
using DOREvoredireStartWithConfiguration = void(std::shared_ptr<DOREvoredireConfiguration> configuration,
                                                std::shared_ptr<VDZOptions> options);

class VDZApp : public platform::runtime::Object, public std::enable_shared_from_this<VDZApp> {
  struct Private {};

 public:
  using Apps = std::map<std::string, std::shared_ptr<VDZApp>, std::less<>>;

  // Configures the default app from the options of "VidezuService-Info.plist".
  static void configure();
  static void configureWithOptions(const std::shared_ptr<VDZOptions>& options);
  static void configureWithName(const std::string& name, const std::shared_ptr<VDZOptions>& options);

  // Null, with a log line, when none.
  static std::shared_ptr<VDZApp> defaultApp();
  static std::shared_ptr<VDZApp> appNamed(std::string_view name);
  // None, with a log line, before anything was configured.
  static std::optional<Apps> allApps();
  static bool isDefaultAppConfigured();
  static void resetApps();

  static void registerInternalLibrary(const std::shared_ptr<const platform::runtime::Class>& library,
                                      std::string_view name);
  static void registerInternalLibrary(const std::shared_ptr<const platform::runtime::Class>& library,
                                      std::string_view name, std::string_view version);
  static void registerLibrary(std::string_view name, std::string_view version);

  static VDZVuduzaraUserAgent& userAgent();
  static std::string vuduzaraUserAgent();

  static platform::Error errorForMissingOptions();
  static platform::Error errorForInvalidAppID();

  static bool validateAppID(std::string_view appID);
  static bool validateAppIDFormat(std::string_view appID, std::string_view version);
  static bool validateAppIDFingerprint(std::string_view appID, std::string_view version);
  static std::string actualBundleID();

  static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const VDZApp& app);
  // Read once per process.
  static std::optional<bool> readDataCollectionSwitchFromPlist();

  // The identity that the app's notifications carry as their sender.
  static const void* classObject();

  // Tests only: forgets every app, registered library and cached setting, as in a fresh process.
  static void resetAppsForTesting();

  VDZApp(Private, std::string name, std::shared_ptr<VDZOptions> options);
  ~VDZApp() override;

  // A fresh copy on every call, locked against editing.
  std::shared_ptr<VDZOptions> options() const;
  const std::string& name() const { return name_; }
  VDZComponentContainer& container() const { return *container_; }
  bool isDefaultApp() const { return isDefaultApp_; }

  void deleteApp(const std::function<void(bool success)>& completion);

  void setDataCollectionDefaultEnabled(bool enabled);
  bool isDataCollectionDefaultEnabled() const;
  void clearDataCollectionSwitchFromUserDefaults();

  bool configureCore();
  void checkExpectedBundleID();
  bool isAppIDValid();
  std::optional<std::string> expectedBundleID() const;

  void subscribeForAppDidBecomeActiveNotifications();
  void appDidBecomeActive();
  void logCoreTelemetryIfEnabled();

  std::string description() const;

 private:
  static std::shared_ptr<VDZApp> initInstanceWithName(const std::string& name,
                                                      const std::shared_ptr<VDZOptions>& options);
  static void appWasConfiguredTwice(const std::shared_ptr<VDZApp>& app, const std::shared_ptr<VDZOptions>& options);
  static void addAppToAppDictionary(const std::shared_ptr<VDZApp>& app);
  static void sendNotificationsToSDKs(const std::shared_ptr<VDZApp>& app);

  const std::string name_;
  const std::shared_ptr<VDZOptions> options_;
  const bool isDefaultApp_;
  std::unique_ptr<VDZComponentContainer> container_;
};
