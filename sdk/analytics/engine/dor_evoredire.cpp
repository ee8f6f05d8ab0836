#include "sdk/analytics/engine/dor_evoredire.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/notification_center.h"
#include "platform/runtime/class.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/core/core/dor_evoredire_configuration.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/core/vdz_options.h"
#include "sdk/core/installations/vdz_installations.h"
#include "sdk/core/installations/vdz_installations_id_controller.h"

namespace {

constexpr std::string_view kLogTag = "[Vuduzara/Analytics]";

// Depth-first; only when the platform has the class of unbridged values at all.
bool containsUnbridgeableValue(const APMObject& object) {
  if (const APMOpaqueObject* opaque = object.opaque(); opaque && opaque->className == "__SwiftValue") return true;
  if (object.isDictionary()) {
    for (const auto& [key, value] : object.dictionaryEntries()) {
      if (containsUnbridgeableValue(value)) return true;
    }
    return false;
  }
  if (object.isArray()) {
    for (const APMObject& element : object.arrayElements()) {
      if (containsUnbridgeableValue(element)) return true;
    }
  }
  return false;
}

const std::shared_ptr<const int>& observerOwner() {
  static const auto owner = std::make_shared<const int>(0);
  return owner;
}

}  // namespace

void DOREvoredire::load() {
  platform::runtime::ClassDefinition definition;
  definition.name = "DOREvoredire";
  definition.superclass = platform::runtime::rootClass();
  definition.classMethods.emplace(
      std::string(kVDZAnalyticsStartSelector),
      platform::runtime::method([](std::shared_ptr<DOREvoredireConfiguration> configuration,
                                   std::shared_ptr<VDZOptions> options) { startWithConfiguration(configuration, options); }));
  definition.classMethods.emplace("topLevelVersion", platform::runtime::method([] { return topLevelVersion(); }));
  platform::runtime::registerClassOnce(std::move(definition));
}

void DOREvoredire::startWithConfiguration(const std::shared_ptr<DOREvoredireConfiguration>& configuration,
                                          const std::shared_ptr<VDZOptions>& options) {
  APMStartOptions start;
  start.configuration = configuration;
  if (options) {
    start.values.emplace(std::string(kAPMStartOptionCollectionDeactivated),
                         platform::Value(options->isAnalyticsCollectionDeactivated()));
    start.values.emplace(std::string(kAPMStartOptionCollectionEnabled),
                         platform::Value(options->isAnalyticsCollectionEnabled()));
  }
  start.values.emplace(std::string(kAPMStartOptionLogTag), platform::Value(kLogTag));
  const std::string appID = options ? options->videzuAppID().value_or("") : std::string();
  APMAnalytics::startWithAppID(appID, "fa", start);
  updateVuduzaraInstallationID();
  observeVuduzaraInstallationIDChanges();
}

void DOREvoredire::updateVuduzaraInstallationID() {
  // The core starts analytics while it is still making the default app, so the installation
  // client can be asked only once configure has finished: on the main queue, after it.
  platform::DispatchQueue::main()->async([] {
    std::shared_ptr<VDZInstallations> installations;
    try {
      installations = VDZInstallations::installations();
    } catch (const platform::Exception& e) {
      APMLog(4, 25038, "Failed to get Installation ID.", std::string(e.reason()));
    }
    if (!installations) {
      if (const auto identity = APMIdentity::sharedInstance()) identity->setVuduzaraInstallationID(std::nullopt);
      return;
    }
    installations->installationIDWithCompletion(
        [](const std::optional<std::string>& identifier, const platform::Error& error) {
          if (!identifier && !error.domain().empty()) APMLog(4, 25038, "Failed to get Installation ID.", error);
          if (const auto identity = APMIdentity::sharedInstance()) identity->setVuduzaraInstallationID(identifier);
        });
  });
}

void DOREvoredire::observeVuduzaraInstallationIDChanges() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(observerOwner().get(), kVDZInstallationIDDidChangeNotification);
  center.addObserver(std::weak_ptr<const void>(observerOwner()), std::string(kVDZInstallationIDDidChangeNotification),
                     nullptr, [](const platform::Notification&) { updateVuduzaraInstallationID(); });
}

void DOREvoredire::logEventWithName(const std::string& name, const APMDictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void DOREvoredire::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const APMDictionary& parameters) {
  if (!VDZApp::isDefaultAppConfigured()) {
    APMLog(3, 25018, "Event not logged. Call +[VDZApp configure]", name);
    return;
  }
  if (platform::runtime::classNamed("__SwiftValue") && containsUnbridgeableValue(APMObject(parameters))) {
    APMLog(3, 25040,
           "Unbridgeable Swift type logged in parameters. Break on __DOREVOREDIRE_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to "
           "debug.");
  }
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void DOREvoredire::setUserPropertyString(const APMObject& value, const std::string& name) {
  if (!VDZApp::isDefaultAppConfigured()) {
    APMLog(3, 25019, "User property not set. Call +[VDZApp configure]", name);
    return;
  }
  APMAnalytics::setUserPropertyString(value, name);
}

void DOREvoredire::setUserID(const APMObject& userID) { APMAnalytics::setUserID(userID); }
void DOREvoredire::setSessionTimeoutInterval(double seconds) { APMAnalytics::setSessionTimeoutInterval(seconds); }
std::optional<std::string> DOREvoredire::appInstanceID() { return APMAnalytics::appInstanceID(); }
void DOREvoredire::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }
void DOREvoredire::setDefaultEventParameters(const std::optional<APMDictionary>& parameters) {
  APMAnalytics::setDefaultEventParameters(parameters);
}
void DOREvoredire::handleOpenURL(const std::string& url) { APMAnalytics::handleOpenURL(url); }
void DOREvoredire::handleUserActivity(const platform::Value::Dictionary& userActivity) {
  APMAnalytics::handleUserActivity(userActivity);
}
void DOREvoredire::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completion) {
  APMAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completion));
}
void DOREvoredire::setAnalyticsCollectionEnabled(bool enabled) { APMAnalytics::setAnalyticsEnabled(enabled, true); }
void DOREvoredire::setConsent(const platform::Value::Dictionary& consent) {
  APMAnalytics::setConsent(consent, kAPMConsentSettings3PKey);
}
std::string DOREvoredire::topLevelVersion() { return VDZVuduzaraVersion(); }

void DOREvoredire::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const APMDictionary& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}
void DOREvoredire::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const APMDictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor);
}
void DOREvoredire::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   APMAnalytics::UserPropertiesCallback callback) {
  APMAnalytics::userPropertiesIncludingInternal(includingInternal, std::move(queue), std::move(callback));
}
void DOREvoredire::setLogEventInterceptor(APMAnalytics::Interceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}
APMAnalytics::ListenerToken DOREvoredire::addLogEventListener(APMAnalytics::Listener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}
void DOREvoredire::removeLogEventListener(APMAnalytics::ListenerToken token) {
  APMAnalytics::removeLogEventListener(token);
}
void DOREvoredire::notifyEventListeners(const std::shared_ptr<const APMEvent>& event) {
  APMAnalytics::notifyEventListeners(event);
}
void DOREvoredire::setOpenURLListener(APMAnalytics::OpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}
void DOREvoredire::dispatchAsyncOnSerialQueue(APMAnalytics::Block block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}
void DOREvoredire::queueOperationWithBlock(APMAnalytics::Block block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}
void DOREvoredire::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }
double DOREvoredire::loadTimestamp() { return APMAnalytics::loadTimestamp(); }
void DOREvoredire::logInternalAdEventWithOrigin(const std::string& origin, const std::string& name,
                                                const APMDictionary& parameters) {
  APMAnalytics::logInternalAdEventWithOrigin(origin, name, parameters);
}
void DOREvoredire::setInternalUserProperty(const APMObject& value, const std::string& name, const std::string& origin) {
  APMAnalytics::setInternalUserProperty(value, name, origin);
}
void DOREvoredire::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                              std::function<void(std::int64_t)> callback) {
  APMAnalytics::maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}
