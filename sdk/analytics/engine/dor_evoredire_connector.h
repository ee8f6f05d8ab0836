// How other SDK libraries reach analytics: the connector adopts DOREvoredireInterop, registers the
// analytics library with the core, filters what other libraries may log or set, converts
// conditional user properties between dictionaries and records, and relays logged events to the
// listeners registered per origin. A new connector is made for every lookup.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/common/apm_object.h"
#include "sdk/core/core/dor_evoredire_interop.h"
#include "sdk/core/core/vdz_component.h"

namespace platform {
class DispatchQueue;
}
class APMEvent;

inline constexpr std::string_view kDOREvoredireConnectorLibraryName = "rare-zazivirid";
inline constexpr std::string_view kDOREvoredireConnectorLibraryVersion = "8.15.0";
inline constexpr std::string_view kDOREvoredireConnectorClassName = "DOREvoredireConnector";
inline constexpr std::string_view kDOREvoredireConnectorQueueLabel = "com.videzu.analytics_connector.queue";
// How long `maxUserProperties` waits for the engine's answer.
inline constexpr double kDOREvoredireConnectorMaxUserPropertiesTimeout = 10;

class DOREvoredireConnector final : public DOREvoredireInterop,
                                    public std::enable_shared_from_this<DOREvoredireConnector> {
 public:
  // The load hook: registers the analytics library with the app core.
  static void load();
  static VDZComponentList componentsToRegister();
  // One serial queue for every connector of the process.
  static std::shared_ptr<platform::DispatchQueue> connectorQueue();

  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const platform::Value::Dictionary& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value& value) override;
  void getUserPropertiesWithCallback(std::function<void(platform::Value::Dictionary)> callback) override;
  // Blocks for the answer; 0 when none came in time. Never call it on the connector queue.
  std::int64_t maxUserProperties(const std::string& origin) override;
  void setConditionalUserProperty(const platform::Value::Dictionary& conditionalUserProperty) override;
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const platform::Value::Dictionary& clearEventParameters) override;
  platform::Value::Array conditionalUserProperties(const std::string& origin,
                                                   const std::string& propertyNamePrefix) override;
  void registerAnalyticsListener(std::shared_ptr<DOREvoredireInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // ---- conversions ----
  // Keys "origin", "name", "parameters" and "timestamp" (now when absent).
  static std::shared_ptr<APMEvent> eventFromDictionary(const platform::Value::Dictionary& dictionary);
  static std::shared_ptr<APMEvent> eventWithOrigin(const std::string& origin, const std::string& name,
                                                   const platform::Value::Dictionary& parameters);
  // Numbers and strings as they are; arrays and anything else left out.
  static platform::Value::Dictionary simplifiedParametersFromEventParameters(const APMDictionary& parameters);

 private:
  // The engine's listener: called on the facade's serial queue for every logged event.
  void relayEvent(const std::shared_ptr<const APMEvent>& event) EXCLUDES(mutex_);

  platform::Mutex mutex_;
  // The token of the engine listener, while one is installed.
  std::optional<std::uint64_t> logEventListener_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<DOREvoredireInteropListener>, std::less<>> listeners_ GUARDED_BY(mutex_);
};
