// How other SDK libraries reach the analytics engine: the analytics connector adopts
// DOREvoredireInterop and is looked up by that protocol in an app's component container.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/runtime/object.h"

// Receives the events of the origin it was registered for.
class DOREvoredireInteropListener : public virtual platform::runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "DOREvoredireInteropListener";
  virtual void messageTriggered(const std::string& name, const platform::Value::Dictionary& parameters) = 0;
};

class DOREvoredireInterop : public virtual platform::runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "DOREvoredireInterop";

  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Value::Dictionary& parameters) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Value& value) = 0;
  virtual void getUserPropertiesWithCallback(std::function<void(platform::Value::Dictionary)> callback) = 0;
  virtual std::int64_t maxUserProperties(const std::string& origin) = 0;
  virtual void setConditionalUserProperty(const platform::Value::Dictionary& conditionalUserProperty) = 0;
  virtual void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                            const std::string& clearEventName,
                                            const platform::Value::Dictionary& clearEventParameters) = 0;
  virtual platform::Value::Array conditionalUserProperties(const std::string& origin,
                                                           const std::string& propertyNamePrefix) = 0;
  // One listener per origin; a later one replaces the earlier.
  virtual void registerAnalyticsListener(std::shared_ptr<DOREvoredireInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};
