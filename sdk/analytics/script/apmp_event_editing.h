// The interpreter's face to the analytics engine: one program loaded into one runtime, whose
// activities register callbacks that edit each logged event or create new ones.
//
// How the measurement configuration uses it (on the worker queue):
//   1. When the configuration's event-editing programs are present and not empty:
//        APMPEventEditingEnvironment environment;           // what the engine can supply
//        environment.remoteConfigLookup = [&config](const std::string& name) { ... setting or nullopt };
//        environment.packageName = <main bundle identifier>;
//        environment.appVersion = <app version, when known>;
//        auto editing = APMPEventEditing::editingWithPrograms(programs, environment);
//      It loads the FIRST program only, logs 29027 on success or 29026 on failure, and gives
//      nullptr on failure (the configuration then keeps no instance).
//   2. While "measurement.ees_feature_enabled" is on, for every event to write:
//        const APMPEventEditResult result = editing->editEvent(*APMEventEditEvent(event));
//      With `result.error` set, the unedited event is written (and 23223 logged by the engine).
//      Otherwise `result.outputEvent` (when non-null: the event was edited) replaces the event
//      through `APMEventFromEditEvent`, and each of `result.eventsToLog` is written after it
//      through `APMEventFromEditEvent`, without being edited again.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_event.h"
#include "sdk/analytics/script/apmp_native_modules.h"
#include "sdk/analytics/script/apmp_runtime.h"

class APMPBProgram;
class APMPBOgtActivity;

inline constexpr std::int64_t kAPMPEditingErrorMissingType = 2;
inline constexpr std::int64_t kAPMPEditingErrorUnknownRuleType = 3;
inline constexpr std::int64_t kAPMPEditingErrorTooManyCallbacks = 4;
inline constexpr std::int64_t kAPMPEditingErrorControlAtTopLevel = 5;
inline constexpr std::int64_t kAPMPEditingErrorRuleNotMap = 6;
inline constexpr std::int64_t kAPMPEditingErrorActivityNotFunction = 7;

inline constexpr std::int64_t kAPMEventEditingLoadFailedCode = 29026;
inline constexpr std::int64_t kAPMEventEditingLoadedCode = 29027;

class APMPEventContext {
 public:
  // Events one handled event may create; past it the program's run fails with error 18.
  static constexpr std::size_t kMaximumEventsToLog = 1000;

  APMPEventContext() : APMPEventContext(APMPEvent::initWithName("", 0, {})) {}
  explicit APMPEventContext(std::shared_ptr<APMPEvent> event);

  // Input becomes the event, output a fresh copy of it, and the created events are dropped.
  void setInputEvent(std::shared_ptr<APMPEvent> event);
  const std::shared_ptr<APMPEvent>& inputEvent() const { return inputEvent_; }
  const std::shared_ptr<APMPEvent>& outputEvent() const { return outputEvent_; }
  void setOutputEvent(std::shared_ptr<APMPEvent> event) { outputEvent_ = std::move(event); }
  const std::vector<std::shared_ptr<APMPEvent>>& eventsToLog() const { return eventsToLog_; }
  bool logEventWithName(std::string name, double timestamp, platform::Value::Dictionary parameters,
                        platform::Error* error);

 private:
  std::shared_ptr<APMPEvent> inputEvent_;
  std::shared_ptr<APMPEvent> outputEvent_;
  std::vector<std::shared_ptr<APMPEvent>> eventsToLog_;
};

class APMPEditingCallbackHandler {
 public:
  static constexpr std::size_t kMaximumCallbacks = 1000;
  using Callbacks = std::map<std::int32_t, std::shared_ptr<APMPFunctionValue>>;

  bool registerWithPriority(std::int32_t priority, std::shared_ptr<APMPFunctionValue> callback,
                            const std::string& ruleType, platform::Error* error);
  void triggerCallbacksWithScope(const APMPScopePtr& scope, APMPEventContext& eventContext, platform::Error* error);
  // 2 for an error, the number result as an unsigned 32-bit code, else 4294967295.
  static std::uint32_t invokeCallbackWithScope(const APMPScopePtr& scope, APMPFunctionValue& function,
                                               const APMPValuePtr& eventHandler, platform::Error* error);

  // In ascending priority.
  const Callbacks& editCallbacks() const { return editCallbacks_; }
  const Callbacks& createCallbacks() const { return createCallbacks_; }
  std::vector<APMPValuePtr> allCallbacks() const;
  void removeAllCallbacks();

 private:
  // A taken priority moves after every callback of its kind registered so far.
  static bool addCallback(std::shared_ptr<APMPFunctionValue> callback, Callbacks& callbacks, std::int32_t priority);

  Callbacks editCallbacks_;
  Callbacks createCallbacks_;
};

// The event handle every callback receives: reads and edits the context's output event.
class APMPEventNativeFunctions final : public APMPMapValue {
 public:
  explicit APMPEventNativeFunctions(APMPEventContext& eventContext) : eventContext_(eventContext) {}
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;

 private:
  APMPEventContext& eventContext_;
};

// "internal.registerCallback": (ignored, callback function, options map with "type" and an
// optional "priority").
class APMPRegisterCallbackNativeFunctionValue final : public APMPFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(std::shared_ptr<APMPEditingCallbackHandler> handler)
      : APMPFunctionValue(u"internal.registerCallback"), handler_(std::move(handler)) {}
  APMPValuePtr invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                   platform::Error* error) override;

 private:
  std::shared_ptr<APMPEditingCallbackHandler> handler_;
};

// "internal.eventLogger": (name, timestamp, parameters map) appends a created event.
class APMPEventLogger final : public APMPFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext)
      : APMPFunctionValue(u"internal.eventLogger"), eventContext_(std::move(eventContext)) {}
  APMPValuePtr invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                   platform::Error* error) override;

 private:
  std::shared_ptr<APMPEventContext> eventContext_;
};

// What the engine supplies to the modules of a configuration's program. Every member has a safe
// default, so a program runs (with empty answers) before the engine can fill them.
struct APMPEventEditingEnvironment {
  // "internal.remoteConfig": the configuration setting of a name as text; nothing by default.
  APMPKeyValueLookup remoteConfigLookup;
  // "internal.appMetadata".
  std::string packageName;
  std::optional<std::string> appVersion;
  std::int64_t libraryVersion = 0;
  // "internal.logger": the measurement monitor when none is given.
  std::shared_ptr<APMPLoggerDelegate> logger;
};

struct APMPEventEditResult {
  // Set when a callback failed: the event must be written as it was handed over.
  platform::Error error;
  // The edited event; null when no callback changed it.
  std::shared_ptr<APMPEvent> outputEvent;
  std::vector<std::shared_ptr<APMPEvent>> eventsToLog;
};

class APMPEventEditing {
 public:
  APMPEventEditing() : APMPEventEditing(std::make_shared<APMPRuntime>()) {}
  explicit APMPEventEditing(std::shared_ptr<APMPRuntime> runtime);
  APMPEventEditing(const APMPEventEditing&) = delete;
  APMPEventEditing& operator=(const APMPEventEditing&) = delete;

  // The configuration's entry point: registers the environment's modules and loads the first
  // program; nullptr (logged) when there is none or it fails to load.
  static std::shared_ptr<APMPEventEditing> editingWithPrograms(
      const std::vector<std::shared_ptr<APMPBProgram>>& programs, const APMPEventEditingEnvironment& environment);
  void registerEnvironmentModules(const APMPEventEditingEnvironment& environment);

  void setModuleCreator(APMPModuleCreator creator, const APMPString& name);
  bool loadProgram(const APMPBProgram& program, platform::Error* error);
  bool loadActivityData(const APMPBOgtActivity& activity, platform::Error* error);
  bool registerRuleWithName(const APMPString& name, const std::shared_ptr<APMPMapValue>& rule,
                            platform::Error* error);

  // YES when the output event differs from the one handed over, or events were created.
  bool handleEvent(const APMPEvent& event, platform::Error* error);
  bool hasEdits() const;
  bool hasCreatedEvents() const { return !eventContext_->eventsToLog().empty(); }
  const APMPEventContext& eventContext() const { return *eventContext_; }
  const APMPEditingCallbackHandler& callbackHandler() const { return *callbackHandler_; }
  APMPRuntime& runtime() { return *runtime_; }

  // `handleEvent` with its outcome gathered for the engine.
  APMPEventEditResult editEvent(const APMPEvent& event);

 private:
  bool runProgram(const APMPBProgram& program, platform::Error* error);
  // Past the allowance of what a program keeps between runs sets error 18 and answers false.
  bool collectGarbage(platform::Error* error);
  // Drops all a program kept (globals, modules, callbacks) and loads its programs again.
  void startAfresh();

  std::shared_ptr<APMPRuntime> runtime_;
  std::shared_ptr<APMPEventContext> eventContext_;
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
  // As loaded, encoded, for `startAfresh`.
  std::vector<platform::Data> loadedPrograms_;
};
