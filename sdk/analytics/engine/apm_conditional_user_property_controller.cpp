#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names_for_log.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/storage/apm_database.h"

namespace {

using Events = APMConditionalUserPropertyController::Events;

// The store's own "now", which its time-out and expiry conditions compare against.
double now() { return APMDatabaseNow(); }

std::string nameForLog(const std::string& name) { return APMUserPropertyNameForLog(APMObject(name)); }

std::string valueForLog(const APMValuePtr& value) { return value ? value->description() : std::string(); }

// The event a property logs on a change of state: the caller's template under the property's
// origin, at the given time.
std::shared_ptr<APMEvent> eventFromTemplate(const std::shared_ptr<APMPBEvent>& templateEvent, const std::string& origin,
                                            double timestamp) {
  if (!templateEvent) return nullptr;
  const auto stored = APMEvent::initWithEventProto(*templateEvent);
  if (!stored) return nullptr;
  return APMEvent::initWithOrigin(origin, false, stored->name(), timestamp, 0, stored->parameters());
}

void addEvent(Events* events, std::shared_ptr<APMEvent> event) {
  if (events && event) events->push_back(std::move(event));
}

// The engine that may touch the store: none while analytics is disabled.
std::shared_ptr<APMMeasurement> enabledEngine() {
  auto engine = APMMeasurement::sharedInstanceIfCreated();
  if (!engine || !engine->isEnabled() || !engine->database()) return nullptr;
  return engine;
}

APMDatabase* database() {
  const auto engine = APMMeasurement::sharedInstanceIfCreated();
  return engine ? engine->database() : nullptr;
}

// The one way the controller's events leave it: straight to the writing step, past admission,
// since they are made while an admitted event is being handled.
void writeEvents(const Events& events) {
  const auto engine = APMMeasurement::sharedInstanceIfCreated();
  if (!engine) return;
  for (const auto& event : events) engine->writeEventOnWorkerQueue(event);
}

bool isValidInterval(double seconds) {
  return seconds >= kAPMConditionalUserPropertyMinInterval && seconds <= kAPMConditionalUserPropertyMaxInterval;
}

}  // namespace

bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(APMObject(property.origin), nullptr)) return false;
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(APMObject(property.name), nullptr)) return false;
  if (property.value && !APMDataTypeValidator::isValidConditionalUserPropertyValue(APMObject(property.value), nullptr)) {
    return false;
  }
  if (!isValidInterval(property.triggerTimeout)) {
    APMLog(2, 11000, "Invalid conditional user property trigger timeout", property.triggerTimeout);
    return false;
  }
  if (!isValidInterval(property.timeToLive)) {
    APMLog(2, 11001, "Invalid conditional user property time to live", property.timeToLive);
    return false;
  }
  return true;
}

std::shared_ptr<APMConditionalUserPropertyController> APMConditionalUserPropertyController::sharedInstance() {
  // Never destroyed: a worker may still ask for the shared instance while the process exits.
  using Controller = APMConditionalUserPropertyController;
  static const auto* const instance = new std::shared_ptr<Controller>(std::make_shared<Controller>());
  return *instance;
}

// Requests wait with the facade's other operations until the engine has started, then run on its
// worker queue in the order they were made, each as one write of the engine: while another
// connection holds the database it is kept in line with the events around it, and goes to the
// kept writes' journal like them when the app is ended meanwhile.
void APMConditionalUserPropertyController::scheduleOnEngine(const char* blockID, std::int64_t disabledCode,
                                                            std::string_view disabledMessage,
                                                            std::shared_ptr<const APMConditionalUserProperty> request) {
  std::weak_ptr<APMConditionalUserPropertyController> weak = weak_from_this();
  APMAnalytics::queueOperationWithBlock(
      [weak, blockID = std::string(blockID), disabledCode, message = std::string(disabledMessage), request] {
        const auto engine = APMMeasurement::sharedInstanceIfCreated();
        if (!engine) {
          APMLog(3, disabledCode, message);
          return;
        }
        std::weak_ptr<APMMeasurement> weakEngine = engine;
        engine->scheduler()->scheduleOnWorkerQueueBlockID(blockID, [weak, weakEngine, request] {
          const auto engine = weakEngine.lock();
          if (!engine) return;
          engine->performDatabaseWriteOnWorkerQueue(
              [weak, request] {
                if (auto self = weak.lock()) self->applyRequestOnWorkerQueue(request);
              },
              [request] {
                auto record = APMKeptWriteRecordForConditionalUserProperty(*request);
                record["k"] = platform::Value("c");
                return std::optional(std::move(record));
              });
        });
      });
}

void APMConditionalUserPropertyController::applyRequestOnWorkerQueue(
    const std::shared_ptr<const APMConditionalUserProperty>& request) {
  if (request && request->value) {
    setConditionalUserPropertyOnWorkerQueue(request);
  } else {
    removeConditionalUserPropertyOnWorkerQueue(request);
  }
}

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const std::shared_ptr<const APMConditionalUserProperty>& property, const std::string& name) {
  if (!property) {
    APMLog(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  auto copy = std::make_shared<APMConditionalUserProperty>(*property);
  copy->name = name;
  if (!APMIsValidConditionalUserProperty(*copy)) return;
  copy->creationTimestamp = now();
  scheduleOnEngine("APMConditionalUserPropertyController:88", 11007,
                   "Cannot set conditional user property. Analytics is disabled", std::move(copy));
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::shared_ptr<const APMEvent>& clearEvent, const std::string& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(APMObject(name), nullptr)) return;
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->name = name;
  if (clearEvent) property->expiredEvent = clearEvent->protoEvent();
  scheduleOnEngine("APMConditionalUserPropertyController:113", 11015,
                   "Cannot remove conditional user property. Analytics is disabled", std::move(property));
}

std::optional<APMConditionalUserPropertyController::Properties>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const APMObject& prefix,
                                                                              const APMObject& origin) {
  if (!prefix.isNil() && !prefix.isString()) {
    APMLog(2, 11003, "Cannot query for conditional user properties. Name prefix is not a string. Class",
           prefix.className());
    return std::nullopt;
  }
  if (!origin.isNil() && !origin.isString()) {
    APMLog(2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class", origin.className());
    return std::nullopt;
  }
  const std::string prefixText = prefix.isNil() ? std::string() : *prefix.ifString();
  const std::string originText = origin.isNil() ? std::string() : *origin.ifString();

  // Shared with the worker-queue block, which may still run after the caller gave up waiting.
  struct Answer {
    platform::Mutex mutex;
    std::optional<Properties> properties GUARDED_BY(mutex);
    platform::Error error GUARDED_BY(mutex);
    platform::DispatchSemaphore done;
  };
  auto answer = std::make_shared<Answer>();
  auto read = [answer, prefixText, originText] {
    {
      platform::MutexLock lock(answer->mutex);
      if (!enabledEngine()) {
        APMLog(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
      } else {
        answer->properties = database()->conditionalUserPropertiesWithPrefix(prefixText, originText, &answer->error);
      }
    }
    answer->done.signal();
  };
  APMAnalytics::queueOperationWithBlock([answer, read] {
    const auto engine = APMMeasurement::sharedInstanceIfCreated();
    if (!engine) {
      APMLog(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
      answer->done.signal();
      return;
    }
    engine->scheduler()->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:161", read);
  });
  answer->done.wait(kAPMConditionalUserPropertyQueryTimeout);
  platform::MutexLock lock(answer->mutex);
  if (!answer->properties && answer->error.isSet()) {
    APMLog(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error", prefixText,
           originText, answer->error);
  }
  return answer->properties;
}

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<const APMConditionalUserProperty>& property) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue")) return;
  const auto engine = enabledEngine();
  if (!engine) {
    APMLog(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    APMLog(2, 11008, "Cannot set nil conditional user property on worker queue");
    return;
  }
  APMDatabase& db = *engine->database();
  auto next = std::make_shared<APMConditionalUserProperty>(*property);
  Events triggered;
  const bool committed = db.performTransaction([&] {
    platform::Error error;
    const auto stored = db.conditionalUserPropertyWithName(next->name, &error);
    if (!stored && error.isSet()) {
      APMLog(1, 11009, "Cannot query conditional user property. Name, origin, error", nameForLog(next->name),
             next->origin, error);
      return false;
    }
    if (stored && stored->origin != next->origin) {
      APMLog(5, 11010, "Updating a conditional user property with different origin. Name, origin, saved origin",
             nameForLog(next->name), next->origin, stored->origin);
    }
    const bool storedActive = stored && stored->active;
    bool triggeredNow = false;
    if (storedActive) {
      // Stays under its first trigger.
      next->origin = stored->origin;
      next->creationTimestamp = stored->creationTimestamp;
      next->triggerEventName = stored->triggerEventName;
      next->triggeredEvent = stored->triggeredEvent;
      next->triggerTimeout = stored->triggerTimeout;
    } else if (next->triggerEventName.empty()) {
      next->active = true;
      next->triggeredTimestamp = next->creationTimestamp;
      triggeredNow = true;
    }
    if (next->active && next->value) {
      const APMUserAttribute attribute(next->origin, next->name, next->value, next->triggeredTimestamp);
      platform::Error attributeError;
      if (db.updateUserAttribute(&attribute, &attributeError)) {
        APMLog(7, 11012, "User property updated. Name, origin", nameForLog(next->name), next->origin);
      } else {
        APMLog(1, 11011, "Cannot update user property from conditional user property. Name, origin, error",
               nameForLog(next->name), next->origin, attributeError);
      }
      if (triggeredNow) addEvent(&triggered, eventFromTemplate(next->triggeredEvent, next->origin, next->triggeredTimestamp));
    }
    if (storedActive) {
      next->active = true;
      next->triggeredTimestamp = stored->triggeredTimestamp;
    }
    platform::Error saveError;
    if (db.updateConditionalUserProperty(next.get(), &saveError)) {
      APMLog(7, 11013, "Conditional user property added. Name, origin", nameForLog(next->name), next->origin);
    } else {
      APMLog(1, 11014, "Cannot insert user property from conditional user property. Name, origin, error",
             nameForLog(next->name), next->origin, saveError);
    }
    return true;
  });
  if (committed) writeEvents(triggered);
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<const APMConditionalUserProperty>& property) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:")) return;
  const auto engine = enabledEngine();
  if (!engine) {
    APMLog(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    APMLog(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  APMDatabase& db = *engine->database();
  const std::string& name = property->name;
  Events expired;
  const bool committed = db.performTransaction([&] {
    platform::Error error;
    const auto stored = db.conditionalUserPropertyWithName(name, &error);
    if (!stored && error.isSet()) {
      APMLog(1, 11017, "Cannot query conditional user property to remove. Name, origin, error", nameForLog(name),
             property->origin, error);
      return false;
    }
    if (!stored) {
      APMLog(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin", nameForLog(name),
             property->origin);
      return true;
    }
    if (!db.deleteConditionalUserPropertyWithName(name, &error) && error.isSet()) {
      APMLog(1, 11019, "Cannot delete conditional user property. Name, origin, error", nameForLog(name),
             stored->origin, error);
      return false;
    }
    if (stored->active && !db.deleteUserAttributeWithName(name, &error) && error.isSet()) {
      APMLog(1, 11020,
             "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
             nameForLog(name), stored->origin, error);
      return false;
    }
    addEvent(&expired, eventFromTemplate(property->expiredEvent, stored->origin, now()));
    return true;
  });
  if (committed) writeEvents(expired);
}

std::optional<Events> APMConditionalUserPropertyController::processEventOnWorkerQueue(
    const std::shared_ptr<const APMEvent>& event) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:")) return std::nullopt;
  if (!event) {
    APMLog(2, 10000, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  APMDatabase* db = database();
  if (!db) return std::nullopt;
  Events timedOut;
  Events expired;
  std::optional<Events> triggered;
  const bool committed = db->performTransaction([&] {
    if (!removeTimedOutCUPWithTimedOutEvents(&timedOut)) return false;
    if (!removeExpiredCUPWithExpiredEvents(&expired)) return false;
    triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return triggered.has_value();
  });
  if (!committed) return std::nullopt;
  writeEvents(timedOut);
  writeEvents(expired);
  return triggered;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(Events* timedOutEvents) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:")) return false;
  APMDatabase* db = database();
  if (!db) return false;
  platform::Error error;
  const auto properties = db->timedOutConditionalUserPropertiesWithError(&error);
  if (!properties) {
    APMLog(1, 10001, "Cannot fetch timed out conditional user properties. Error", error);
    return false;
  }
  const double timestamp = now();
  for (const auto& property : *properties) {
    APMLog(7, 10002, "Conditional user property has timed out. Name", nameForLog(property->name));
    if (!db->deleteConditionalUserPropertyWithName(property->name, &error) && error.isSet()) {
      APMLog(1, 10003, "Cannot delete timed out condition user property. Name, error", nameForLog(property->name),
             error);
      return false;
    }
    addEvent(timedOutEvents, eventFromTemplate(property->timedOutEvent, property->origin, timestamp));
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(Events* expiredEvents) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:")) return false;
  APMDatabase* db = database();
  if (!db) return false;
  platform::Error error;
  const auto properties = db->expiredConditionalUserPropertiesWithError(&error);
  if (!properties) {
    APMLog(1, 10004, "Cannot fetch expired conditional user properties. Error", error);
    return false;
  }
  const double timestamp = now();
  for (const auto& property : *properties) {
    auto event = eventFromTemplate(property->expiredEvent, property->origin, timestamp);
    APMLog(7, 10005, "Conditional user property has expired. Name, expired event", nameForLog(property->name),
           event ? APMEventNameForLog(APMObject(event->name())) : std::string());
    if (!db->deleteUserAttributeWithName(property->name, &error) && error.isSet()) {
      APMLog(1, 10006,
             "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
             nameForLog(property->name), property->origin, error);
      return false;
    }
    if (!db->deleteConditionalUserPropertyWithName(property->name, &error) && error.isSet()) {
      APMLog(1, 10007, "Cannot delete expired condition user property. Name, error", nameForLog(property->name),
             error);
      return false;
    }
    addEvent(expiredEvents, std::move(event));
  }
  return true;
}

std::optional<Events> APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName(
          "updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:")) {
    return std::nullopt;
  }
  APMDatabase* db = database();
  if (!db) return std::nullopt;
  platform::Error error;
  const auto properties = db->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (!properties) {
    APMLog(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error",
           APMEventNameForLog(APMObject(eventName)), error);
    return std::nullopt;
  }
  Events triggered;
  for (const auto& property : *properties) {
    const double timestamp = now();
    platform::Error attributeError;
    const APMUserAttribute attribute(property->origin, property->name, property->value, timestamp);
    if (property->value && db->updateUserAttribute(&attribute, &attributeError)) {
      APMLog(7, 10010, "User property updated. Name, origin, value", nameForLog(property->name), property->origin,
             valueForLog(property->value));
    } else {
      APMLog(1, 10009, "Cannot update user property from conditional user property. Name, origin, error",
             nameForLog(property->name), property->origin, attributeError);
    }
    addEvent(&triggered, eventFromTemplate(property->triggeredEvent, property->origin, timestamp));
    property->active = true;
    property->triggeredTimestamp = timestamp;
    if (!db->updateConditionalUserProperty(property.get(), &error) && error.isSet()) {
      APMLog(1, 10011, "Cannot update conditional user property. Name, origin, error", nameForLog(property->name),
             property->origin, error);
      return std::nullopt;
    }
  }
  return triggered;
}
