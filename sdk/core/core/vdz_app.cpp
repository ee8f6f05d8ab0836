#include "sdk/core/core/vdz_app.h"

#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/user_defaults.h"
#include "platform/runtime/class.h"
#include "platform/ui/application.h"
#include "sdk/core/core/dor_evoredire_configuration.h"
#include "sdk/core/core/vdz_bundle_util.h"
#include "sdk/core/core/vdz_component_container.h"
#include "sdk/core/core/vdz_configuration.h"
#include "sdk/core/core/vdz_core_diagnostics_connector.h"
#include "sdk/core/core/vdz_library.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/core/vdz_options.h"
#include "sdk/core/core/vdz_vuduzara_user_agent.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

// Where the messages send a developer for a fresh options file and for the set-up guide.
constexpr std::string_view kConsoleURL = "https://console.videzu.invalid/";
constexpr std::string_view kSetupDocumentationURL = "https://docs.videzu.invalid/ios/setup";

struct ClassState {
  // Guards the registry, the configure list and the whole bring-up of an app; re-entrant because
  // creation blocks and notification observers call back into VDZApp.
  platform::RecursiveMutex lock;
  std::optional<VDZApp::Apps> apps GUARDED_BY(lock);
  std::vector<std::shared_ptr<const platform::runtime::Class>> librariesToConfigure GUARDED_BY(lock);

  // Written under `lock` too, but read under this leaf lock only: the default app and the
  // Info.plist switch are asked for from creation blocks, the analytics engine and other queues,
  // which must not wait for a bring-up or a deletion holding `lock` (it may be waiting for them).
  platform::Mutex leafLock;
  std::shared_ptr<VDZApp> defaultApp GUARDED_BY(leafLock);
  bool plistSwitchRead GUARDED_BY(leafLock) = false;
  std::optional<bool> plistSwitch GUARDED_BY(leafLock);
};

ClassState& state() {
  static auto* s = new ClassState;
  return *s;
}

std::shared_ptr<VDZApp> recordedDefaultApp() {
  ClassState& s = state();
  platform::MutexLock leaf(s.leafLock);
  return s.defaultApp;
}

// Callers hold the class lock.
void recordDefaultApp(std::shared_ptr<VDZApp> app) {
  ClassState& s = state();
  platform::MutexLock leaf(s.leafLock);
  std::swap(s.defaultApp, app);
  // The app replaced may be released here, and its components may ask for the default app.
  leaf.unlock();
}

[[noreturn]] void raise(std::string reason) {
  throw platform::Exception(std::string(kVDZAppExceptionName), std::move(reason));
}

// Never destroyed: apps are configured and libraries registered on any thread, which may still be at it
// while the process exits.
const platform::strings::CharacterSet& appNameCharacters() {
  static const auto* const set = new platform::strings::CharacterSet(
      platform::strings::CharacterSet::alphanumeric().unionWith(platform::strings::CharacterSet::characters("-_")));
  return *set;
}

const platform::strings::CharacterSet& libraryNameCharacters() {
  static const auto* const set = new platform::strings::CharacterSet(
      platform::strings::CharacterSet::alphanumeric().unionWith(platform::strings::CharacterSet::characters("-_.")));
  return *set;
}

std::string dataCollectionDefaultsKey(const std::string& appName) {
  return platform::format(kVDZGlobalAppDataCollectionEnabledDefaultsKeyFormat, appName);
}

// A scanner over text that skips nothing, as the identifier checks need.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}
  bool isAtEnd() const { return pos_ >= text_.size(); }

  bool scanDecimalDigits(std::string* out) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && isDigit(text_[pos_])) ++pos_;
    if (out) *out = std::string(text_.substr(start, pos_ - start));
    return pos_ > start;
  }
  bool scanString(std::string_view s) {
    if (text_.substr(pos_, s.size()) != s) return false;
    pos_ += s.size();
    return true;
  }
  bool scanUpTo(char c, std::string* out) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != c) ++pos_;
    if (out) *out = std::string(text_.substr(start, pos_ - start));
    return pos_ > start;
  }
  // An optional sign, then decimal digits.
  bool scanInteger() {
    const std::size_t start = pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!scanDecimalDigits(nullptr)) {
      pos_ = start;
      return false;
    }
    return true;
  }
  // An optional "0x", then hexadecimal digits.
  bool scanHexNumber() {
    const std::size_t start = pos_;
    if (text_.substr(pos_, 2) == "0x" || text_.substr(pos_, 2) == "0X") pos_ += 2;
    const std::size_t digits = pos_;
    while (pos_ < text_.size() && isHexDigit(text_[pos_])) ++pos_;
    if (pos_ == digits) {
      pos_ = start;
      // "0x" with nothing after it still reads as the number 0.
      if (text_.substr(pos_, 1) == "0") {
        ++pos_;
        return true;
      }
      return false;
    }
    return true;
  }

 private:
  static bool isDigit(char c) { return c >= '0' && c <= '9'; }
  static bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const auto at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

}  // namespace

// Configuration

void VDZApp::configure() {
  const auto options = VDZOptions::defaultOptions();
  if (!options) {
    raise(platform::format("`VuduzaraApp.configure()` could not find a valid VidezuService-Info.plist in your "
                           "project. Please download one from %@.",
                           kConsoleURL));
  }
  configureWithOptions(options);
}

void VDZApp::configureWithOptions(const std::shared_ptr<VDZOptions>& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(std::string(kVDZDefaultAppName), options);
}

void VDZApp::configureWithName(const std::string& name, const std::shared_ptr<VDZOptions>& options) {
  if (!options) raise("Neither name nor options can be nil.");
  if (name.empty()) raise("Name cannot be empty.");

  if (name != kVDZDefaultAppName && !platform::strings::allCharactersIn(name, appNameCharacters())) {
    raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
  }

  // Held from the check for an existing app to the end of the bring-up, so two threads
  // configuring the same name cannot both pass the check and make two apps.
  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  if (name == kVDZDefaultAppName) {
    if (const auto existing = recordedDefaultApp()) {
      appWasConfiguredTwice(existing, options);
      return;
    }
    VDZLoggerLogDebug(kVDZLoggerServiceCore, "I-COR000001", "Configuring the default app.");
  } else {
    std::shared_ptr<VDZApp> existing;
    if (s.apps) {
      if (auto it = s.apps->find(name); it != s.apps->end()) existing = it->second;
    }
    if (existing) {
      appWasConfiguredTwice(existing, options);
      return;
    }
    VDZLoggerLogDebug(kVDZLoggerServiceCore, "I-COR000002", "Configuring app named %@", name);
  }

  const auto app = initInstanceWithName(name, options);
  // Recorded before validation: a default app that fails it stays the default app.
  if (app->isDefaultApp()) recordDefaultApp(app);
  addAppToAppDictionary(app);
  app->container().instantiateEagerComponents();
  sendNotificationsToSDKs(app);
}

std::shared_ptr<VDZApp> VDZApp::initInstanceWithName(const std::string& name,
                                                     const std::shared_ptr<VDZOptions>& options) {
  auto locked = options->copy();
  locked->setEditingLocked(true);
  auto app = std::make_shared<VDZApp>(Private{}, name, std::move(locked));
  // The container keeps its app weakly, so it is made once the app is owned.
  app->container_ = std::make_unique<VDZComponentContainer>(app);
  return app;
}

VDZApp::VDZApp(Private, std::string name, std::shared_ptr<VDZOptions> options)
    : name_(std::move(name)), options_(std::move(options)), isDefaultApp_(name_ == kVDZDefaultAppName) {}

VDZApp::~VDZApp() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void VDZApp::appWasConfiguredTwice(const std::shared_ptr<VDZApp>& app, const std::shared_ptr<VDZOptions>& options) {
  if (!VULAppEnvironmentUtil::isAppExtension()) {
    if (app->isDefaultApp()) raise("Default app has already been configured.");
    raise(platform::format("App named %@ has already been configured.", app->name()));
  }
  if (!app->options_->isEqual(options)) {
    raise(platform::format("App named %@ has already been configured.", app->name()));
  }
  VDZLoggerLogDebug(kVDZLoggerServiceCore, "I-COR000035", "Ignoring second `configure` call in an extension.");
}

void VDZApp::addAppToAppDictionary(const std::shared_ptr<VDZApp>& app) {
  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  if (!s.apps) s.apps.emplace();
  if (!app->configureCore()) {
    raise("Configuration fails. It may be caused by an invalid VIDEZU_APP_ID in VidezuService-Info.plist or set in "
          "the customized options.");
  }
  (*s.apps)[app->name()] = app;
}

bool VDZApp::configureCore() {
  checkExpectedBundleID();
  if (!isAppIDValid()) return false;

  if (isDefaultApp()) {
    const auto analytics = platform::runtime::classNamed(kVDZAnalyticsClassName);
    if (analytics && analytics->respondsToSelector(kVDZAnalyticsStartSelector)) {
      analytics->call<void>(kVDZAnalyticsStartSelector, VDZConfiguration::sharedInstance().analyticsConfiguration(),
                            options_);
    }
  }

  subscribeForAppDidBecomeActiveNotifications();
  return true;
}

void VDZApp::checkExpectedBundleID() {
  const auto expected = expectedBundleID();
  if (expected && !VDZBundleUtil::hasBundleIdentifierPrefix(*expected, VDZBundleUtil::relevantBundles())) {
    VDZLoggerLogError(
        kVDZLoggerServiceCore, "I-COR000008",
        "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or the Bundle ID in the "
        "options if you are using a customized options. To ensure that everything can be configured correctly, you "
        "may need to make the Bundle IDs consistent. To continue with this plist file, you may change your app's "
        "bundle identifier to '%@'. Or you can download a new configuration file that matches your bundle "
        "identifier from %@ and replace the current one.",
        kVDZOptionsPlistName, kVDZOptionsPlistType, *expected, kConsoleURL);
  }
}

bool VDZApp::isAppIDValid() {
  const auto appID = options_->videzuAppID();
  if (validateAppID(appID.value_or(""))) return true;
  const std::string expected = expectedBundleID().value_or("");
  VDZLoggerLogError(
      kVDZLoggerServiceCore, "I-COR000009",
      "The VIDEZU_APP_ID either in the plist file '%@.%@' or the one set in the customized options is invalid. If "
      "you are using the plist file, use the iOS version of bundle identifier to download the file, and do not "
      "manually edit the VIDEZU_APP_ID. You may change your app's bundle identifier to '%@'. Or you can download a "
      "new configuration file that matches your bundle identifier from %@ and replace the current one.",
      kVDZOptionsPlistName, kVDZOptionsPlistType, expected, kConsoleURL);
  return false;
}

std::optional<std::string> VDZApp::expectedBundleID() const { return options_->bundleID(); }

void VDZApp::sendNotificationsToSDKs(const std::shared_ptr<VDZApp>& app) {
  Value::Dictionary userInfo{
      {std::string(kVDZAppNameKey), Value(app->name())},
      {std::string(kVDZAppIsDefaultAppKey), Value(app->isDefaultApp())},
  };
  if (auto appID = app->options_->videzuAppID()) userInfo[std::string(kVDZVidezuAppIDKey)] = Value(*appID);
  platform::NotificationCenter::defaultCenter().post(std::string(kVDZAppReadyToConfigureSDKNotification),
                                                      classObject(), std::move(userInfo));

  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  const auto libraries = s.librariesToConfigure;
  for (const auto& library : libraries) library->call<void>(VDZLibrary::kConfigureWithAppSelector, app);
}

// App identifiers: a version, a project number, the platform and a hexadecimal part, separated
// by colons.

bool VDZApp::validateAppID(std::string_view appID) {
  if (appID.empty()) return false;
  Scanner scanner(appID);
  std::string version;
  if (!scanner.scanDecimalDigits(&version)) return false;
  if (!scanner.scanString(":")) return false;
  if (version != "1") {
    VDZLoggerLogInfo(kVDZLoggerServiceCore, "I-COR000010", "Unknown VIDEZU_APP_ID version: %@", version);
    return true;
  }
  return validateAppIDFormat(appID, version) && validateAppIDFingerprint(appID, version);
}

bool VDZApp::validateAppIDFormat(std::string_view appID, std::string_view version) {
  if (appID.empty() || version.empty()) return false;
  Scanner scanner(appID);
  std::string platformName;
  return scanner.scanString(version) && scanner.scanString(":") && scanner.scanInteger() &&
         scanner.scanString(":") && scanner.scanUpTo(':', &platformName) && platformName == "ios" &&
         scanner.scanString(":") && scanner.scanHexNumber() && scanner.isAtEnd();
}

bool VDZApp::validateAppIDFingerprint(std::string_view appID, std::string_view version) {
  const auto parts = split(appID, ':');
  if (parts.size() != 4) return false;
  const std::string_view fingerprint = parts[3];
  if (fingerprint.empty()) return false;
  Scanner scanner(fingerprint);
  if (!scanner.scanHexNumber()) return false;
  return version == "1";
}

std::string VDZApp::actualBundleID() { return platform::Bundle::main()->bundleIdentifier(); }

// Registry

std::shared_ptr<VDZApp> VDZApp::defaultApp() {
  const auto app = recordedDefaultApp();
  if (!app) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000003",
                      "The default Vuduzara app has not yet been configured. Add `VuduzaraApp.configure()` to your "
                      "application initialization. This can be done in in the App Delegate's "
                      "application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in "
                      "SwiftUI). Read more: %@.",
                      kSetupDocumentationURL);
  }
  return app;
}

std::shared_ptr<VDZApp> VDZApp::appNamed(std::string_view name) {
  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  if (s.apps) {
    if (auto it = s.apps->find(name); it != s.apps->end()) return it->second;
  }
  VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000004", "App with name %@ does not exist.", name);
  return nullptr;
}

std::optional<VDZApp::Apps> VDZApp::allApps() {
  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  if (!s.apps) VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000005", "No app has been configured yet.");
  return s.apps;
}

bool VDZApp::isDefaultAppConfigured() { return recordedDefaultApp() != nullptr; }

void VDZApp::resetApps() {
  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  recordDefaultApp(nullptr);
  s.apps.reset();
  userAgent().reset();
}

void VDZApp::resetAppsForTesting() {
  resetApps();
  ClassState& s = state();
  {
    platform::RecursiveMutexLock lock(s.lock);
    s.librariesToConfigure.clear();
    platform::MutexLock leaf(s.leafLock);
    s.plistSwitchRead = false;
    s.plistSwitch.reset();
  }
  VDZComponentContainer::resetRegistrantsForTesting();
  VDZOptions::resetDefaultOptions();
  VDZCoreDiagnosticsConnector::resetForTesting();
}

const void* VDZApp::classObject() {
  static const char identity = 0;
  return &identity;
}

// Libraries

void VDZApp::registerInternalLibrary(const std::shared_ptr<const platform::runtime::Class>& library,
                                     std::string_view name) {
  registerInternalLibrary(library, name, VDZVuduzaraVersion());
}

void VDZApp::registerInternalLibrary(const std::shared_ptr<const platform::runtime::Class>& library,
                                     std::string_view name, std::string_view version) {
  if (!library || !library->conformsToProtocol(VDZLibrary::kProtocolName) ||
      !library->respondsToSelector(VDZLibrary::kComponentsToRegisterSelector)) {
    throw platform::Exception(
        std::string(platform::kInvalidArgumentException),
        platform::format("Class %@ attempted to register components, but it does not conform to `VDZLibrary or "
                         "provide a `componentsToRegister:` method.",
                         library));
  }
  VDZComponentContainer::registerAsComponentRegistrant(library);
  if (library->respondsToSelector(VDZLibrary::kConfigureWithAppSelector)) {
    ClassState& s = state();
    platform::RecursiveMutexLock lock(s.lock);
    s.librariesToConfigure.push_back(library);
  }
  registerLibrary(name, version);
}

void VDZApp::registerLibrary(std::string_view name, std::string_view version) {
  if (platform::strings::allCharactersIn(name, libraryNameCharacters()) &&
      platform::strings::allCharactersIn(version, libraryNameCharacters())) {
    userAgent().setValue(version, name);
    return;
  }
  VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000027",
                    "The library name (%@) or version number (%@) contain invalid characters. Only alphanumeric, "
                    "dash, underscore and period characters are allowed.",
                    name, version);
}

VDZVuduzaraUserAgent& VDZApp::userAgent() {
  static auto* agent = [] {
    auto* a = new VDZVuduzaraUserAgent;
    a->setValue(VDZVuduzaraVersion(), "vud-ios");
    return a;
  }();
  return *agent;
}

std::string VDZApp::vuduzaraUserAgent() { return userAgent().vuduzaraUserAgent(); }

// Errors

platform::Error VDZApp::errorForMissingOptions() {
  return platform::Error(
      std::string(kVDZErrorDomain), kVDZErrorCodeMissingOptions,
      {{std::string(platform::kLocalizedDescriptionKey),
        Value("Unable to parse VidezuService-Info.plist in order to configure services.")},
       {std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        Value("Check formatting and location of VidezuService-Info.plist.")}});
}

platform::Error VDZApp::errorForInvalidAppID() {
  return platform::Error(
      std::string(kVDZErrorDomain), kVDZErrorCodeInvalidAppID,
      {{std::string(platform::kLocalizedDescriptionKey), Value("Unable to validate Videzu App ID")},
       {std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        Value("Check formatting and location of VidezuService-Info.plist or VidezuAppID set in the customized "
              "options.")}});
}

// Data collection

std::optional<bool> VDZApp::readDataCollectionSwitchFromUserDefaultsForApp(const VDZApp& app) {
  const Value value = platform::UserDefaults::standard()->objectForKey(dataCollectionDefaultsKey(app.name()));
  if (!value.isNumber()) return std::nullopt;
  return value.boolValue();
}

std::optional<bool> VDZApp::readDataCollectionSwitchFromPlist() {
  ClassState& s = state();
  platform::MutexLock leaf(s.leafLock);
  if (!s.plistSwitchRead) {
    const Value value = platform::Bundle::main()->objectForInfoDictionaryKey(kVDZGlobalAppDataCollectionEnabledPlistKey);
    if (value.isNumber()) s.plistSwitch = value.boolValue();
    s.plistSwitchRead = true;
  }
  return s.plistSwitch;
}

bool VDZApp::isDataCollectionDefaultEnabled() const {
  if (auto fromDefaults = readDataCollectionSwitchFromUserDefaultsForApp(*this)) return *fromDefaults;
  if (auto fromPlist = readDataCollectionSwitchFromPlist()) return *fromPlist;
  return true;
}

void VDZApp::setDataCollectionDefaultEnabled(bool enabled) {
  platform::UserDefaults::standard()->setBool(enabled, dataCollectionDefaultsKey(name_));
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
    DOREvoredireConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
  }
}

void VDZApp::clearDataCollectionSwitchFromUserDefaults() {
  platform::UserDefaults::standard()->removeObjectForKey(dataCollectionDefaultsKey(name_));
}

// Instances

std::shared_ptr<VDZOptions> VDZApp::options() const { return options_->copy(); }

void VDZApp::deleteApp(const std::function<void(bool success)>& completion) {
  ClassState& s = state();
  platform::RecursiveMutexLock lock(s.lock);
  const bool registered = s.apps && s.apps->contains(name_);
  if (!registered) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
    return;
  }
  // Held until the end: the registry may hold the last reference.
  const auto self = shared_from_this();
  VDZLoggerLogDebug(kVDZLoggerServiceCore, "I-COR000006", "Deleting app named %@", name_);
  container_->removeAllComponents();
  container_->removeAllCachedInstances();
  s.apps->erase(name_);
  clearDataCollectionSwitchFromUserDefaults();
  if (name_ == kVDZDefaultAppName) recordDefaultApp(nullptr);
  platform::NotificationCenter::defaultCenter().post(std::string(kVDZAppDeleteNotification), classObject(),
                                                      Value::Dictionary{{std::string(kVDZAppNameKey), Value(name_)}});
  if (completion) completion(true);
}

void VDZApp::subscribeForAppDidBecomeActiveNotifications() {
  std::weak_ptr<VDZApp> weakSelf = weak_from_this();
  platform::NotificationCenter::defaultCenter().addObserver(
      std::weak_ptr<const void>(weakSelf), std::string(platform::kApplicationDidBecomeActiveNotification), nullptr,
      [weakSelf](const platform::Notification&) {
        if (auto self = weakSelf.lock()) self->appDidBecomeActive();
      });
}

void VDZApp::appDidBecomeActive() { logCoreTelemetryIfEnabled(); }

void VDZApp::logCoreTelemetryIfEnabled() {
  if (!isDataCollectionDefaultEnabled()) return;
  platform::DispatchQueue::global(platform::QualityOfService::Utility)->async([options = options()] {
    VDZCoreDiagnosticsConnector::logCoreTelemetryWithOptions(options);
  });
}

std::string VDZApp::description() const { return platform::format("<VDZApp: %@>", name_); }
