#include "sdk/analytics/script/apmp_event_editing.h"

#include <cmath>
#include <limits>

#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_runtime_entity_converter.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

// Field indices of the program messages.
constexpr std::int32_t kProgramStatements = 0;
constexpr std::int32_t kProgramActivities = 1;
constexpr std::int32_t kActivitiesList = 0;
constexpr std::int32_t kActivityName = 0;
constexpr std::int32_t kActivityRules = 1;

constexpr std::int32_t kDefaultPriority = 1000;

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

// The step counter's conversion: NaN and infinities give 0, otherwise the integer part modulo
// 2^32, so -1 gives 4294967295.
std::uint32_t modularUint32(double number) {
  if (!std::isfinite(number)) return 0;
  double r = std::fmod(std::trunc(number), 4294967296.0);
  if (r < 0) r += 4294967296.0;
  return static_cast<std::uint32_t>(r);
}

template <class T>
std::vector<std::shared_ptr<T>> messagesOf(const NANOMessageBase* message, std::int32_t index) {
  return NANOGetArray<T>(message, index).value_or(std::vector<std::shared_ptr<T>>{});
}

}  // namespace

APMPEventContext::APMPEventContext(std::shared_ptr<APMPEvent> event) { setInputEvent(std::move(event)); }

void APMPEventContext::setInputEvent(std::shared_ptr<APMPEvent> event) {
  inputEvent_ = std::move(event);
  outputEvent_ = inputEvent_->copy();
  eventsToLog_.clear();
}

bool APMPEventContext::logEventWithName(std::string name, double timestamp, platform::Value::Dictionary parameters,
                                        platform::Error* error) {
  if (eventsToLog_.size() >= kMaximumEventsToLog) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return false;
  }
  eventsToLog_.push_back(APMPEvent::initWithName(std::move(name), timestamp, std::move(parameters)));
  return true;
}

bool APMPEditingCallbackHandler::registerWithPriority(std::int32_t priority,
                                                      std::shared_ptr<APMPFunctionValue> callback,
                                                      const std::string& ruleType, platform::Error* error) {
  if (editCallbacks_.size() + createCallbacks_.size() >= kMaximumCallbacks) {
    APMPSetEditingError(error, kAPMPEditingErrorTooManyCallbacks);
    return false;
  }
  Callbacks* selected = ruleType == "create" ? &createCallbacks_ : (ruleType == "edit" ? &editCallbacks_ : nullptr);
  if (!selected) {
    APMPSetEditingError(error, kAPMPEditingErrorUnknownRuleType);
    return false;
  }
  if (!addCallback(std::move(callback), *selected, priority)) {
    APMPSetEditingError(error, kAPMPEditingErrorTooManyCallbacks);
    return false;
  }
  return true;
}

bool APMPEditingCallbackHandler::addCallback(std::shared_ptr<APMPFunctionValue> callback, Callbacks& callbacks,
                                             std::int32_t priority) {
  if (callbacks.count(priority)) {
    const std::int32_t largest = callbacks.rbegin()->first;
    if (largest < std::numeric_limits<std::int32_t>::max()) {
      priority = largest + 1;
    } else {
      // Nothing is above the top of the range: the nearest free priority above the one asked
      // for keeps the callback after its equal.
      do {
        if (priority == std::numeric_limits<std::int32_t>::max()) return false;
        ++priority;
      } while (callbacks.count(priority));
    }
  }
  callbacks.emplace(priority, std::move(callback));
  return true;
}

void APMPEditingCallbackHandler::removeAllCallbacks() {
  editCallbacks_.clear();
  createCallbacks_.clear();
}

std::vector<APMPValuePtr> APMPEditingCallbackHandler::allCallbacks() const {
  std::vector<APMPValuePtr> all;
  for (const auto& [priority, callback] : editCallbacks_) all.push_back(callback);
  for (const auto& [priority, callback] : createCallbacks_) all.push_back(callback);
  return all;
}

void APMPEditingCallbackHandler::triggerCallbacksWithScope(const APMPScopePtr& scope, APMPEventContext& eventContext,
                                                           platform::Error* error) {
  const auto handle = std::make_shared<APMPEventNativeFunctions>(eventContext);
  // Copies: a callback may register further callbacks while the lists are walked.
  const Callbacks edits = editCallbacks_;
  const Callbacks creates = createCallbacks_;
  for (const auto& [priority, callback] : edits) {
    std::shared_ptr<APMPEvent> saved = eventContext.outputEvent()->copy();
    const std::uint32_t code = invokeCallbackWithScope(scope, *callback, handle, error);
    if (APMPHasError(error) || code == 2 || code == 4294967295u) eventContext.setOutputEvent(std::move(saved));
    if (APMPHasError(error)) return;
  }
  for (const auto& [priority, callback] : creates) {
    invokeCallbackWithScope(scope, *callback, handle, error);
    if (APMPHasError(error)) return;
  }
}

std::uint32_t APMPEditingCallbackHandler::invokeCallbackWithScope(const APMPScopePtr& scope,
                                                                  APMPFunctionValue& function,
                                                                  const APMPValuePtr& eventHandler,
                                                                  platform::Error* error) {
  const APMPValuePtr result = function.invokeWithArguments({eventHandler}, scope, error);
  if (APMPHasError(error)) return 2;
  if (result->kind() == APMPRuntimeValue::Kind::Number) {
    return modularUint32(static_cast<const APMPNumberValue&>(*result).value());
  }
  return 4294967295u;
}

APMPValuePtr APMPEventNativeFunctions::applyWithName(const APMPString& name, const APMPArguments& arguments,
                                                     const APMPScopePtr& scope, platform::Error* error) {
  enum class Method { GetEventName, GetParamValue, GetParams, GetTimestamp, SetEventName, SetParamValue };
  // Never destroyed: a script may still run on a worker while the process exits.
  static const auto* const kMethods = new std::map<APMPString, std::pair<Method, std::size_t>>{
      {u"getEventName", {Method::GetEventName, 0}},   {u"getParamValue", {Method::GetParamValue, 1}},
      {u"getParams", {Method::GetParams, 0}},         {u"getTimestamp", {Method::GetTimestamp, 0}},
      {u"setEventName", {Method::SetEventName, 1}},   {u"setParamValue", {Method::SetParamValue, 2}},
  };
  const auto found = kMethods->find(name);
  if (found == kMethods->end()) return APMPMapValue::applyWithName(name, arguments, scope, error);
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error) || !APMPCheckArgumentCount(values, found->second.second, error)) return undefined();
  APMPEvent& event = *eventContext_.outputEvent();
  switch (found->second.first) {
    case Method::GetEventName: return APMPStringValue::make(APMPText(event.name()));
    case Method::GetTimestamp: return APMPNumberValue::make(event.timestamp());
    case Method::GetParams: {
      const APMPValuePtr params =
          APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Value(event.parameters()), error);
      return APMPHasError(error) ? undefined() : params;
    }
    case Method::GetParamValue: {
      const APMPString parameter = values[0]->stringValueOrError(error);
      if (APMPHasError(error)) return undefined();
      return APMPRuntimeEntityConverter::runtimeValueFromNSObject(event.parameterForName(APMPUTF8(parameter)), error);
    }
    case Method::SetEventName: {
      if (values[0]->isNothing()) {
        APMPSetError(error, kAPMPErrorArgumentKind);
        return undefined();
      }
      const APMPString newName = values[0]->stringValueOrError(error);
      if (APMPHasError(error)) return undefined();
      event.setName(APMPUTF8(newName));
      return APMPStringValue::make(newName);
    }
    case Method::SetParamValue: {
      const APMPString parameter = values[0]->stringValueOrError(error);
      if (APMPHasError(error)) return undefined();
      std::optional<platform::Value> object = APMPRuntimeEntityConverter::objectFromRuntimeValue(*values[1], error);
      if (APMPHasError(error)) return undefined();
      const std::string parameterName = APMPUTF8(parameter);
      // A value the engine handed over, written back unchanged, keeps the kind it came with.
      const auto original = eventContext_.inputEvent()->parameterForName(parameterName);
      if (object && original && APMPParameterValuesEqual(*object, *original)) object = original;
      event.setParameter(std::move(object), parameterName);
      return values[1];
    }
  }
  return undefined();
}

APMPValuePtr APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(const APMPArguments& arguments,
                                                                          const APMPScopePtr& scope,
                                                                          platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  if (values[1]->kind() != Kind::Function || values[2]->kind() != Kind::Map) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const auto& options = static_cast<const APMPMapValue&>(*values[2]);
  if (!options.hasProperty(u"type")) {
    APMPSetEditingError(error, kAPMPEditingErrorMissingType);
    return undefined();
  }
  const APMPString type = options.valueForProperty(u"type")->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  std::int32_t priority = kDefaultPriority;
  if (options.hasProperty(u"priority")) {
    const double number = options.valueForProperty(u"priority")->doubleValueOrError(error);
    if (APMPHasError(error)) return undefined();
    priority = static_cast<std::int32_t>(modularUint32(number));
  }
  handler_->registerWithPriority(priority, std::static_pointer_cast<APMPFunctionValue>(values[1]), APMPUTF8(type),
                                 error);
  return undefined();
}

APMPValuePtr APMPEventLogger::invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                                  platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  const APMPString name = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  const double number = values[1]->doubleValueOrError(error);
  if (APMPHasError(error)) return undefined();
  if (values[2]->kind() != Kind::Map) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  platform::Value::Dictionary parameters =
      APMPRuntimeEntityConverter::dictionaryFromMapValue(static_cast<const APMPMapValue&>(*values[2]), error);
  if (APMPHasError(error)) return undefined();
  eventContext_->logEventWithName(APMPUTF8(name), std::isnan(number) ? 0 : std::trunc(number), std::move(parameters),
                                  error);
  return undefined();
}

APMPEventEditing::APMPEventEditing(std::shared_ptr<APMPRuntime> runtime)
    : runtime_(std::move(runtime)),
      eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()) {
  setModuleCreator([handler = callbackHandler_] { return std::make_shared<APMPRegisterCallbackNativeFunctionValue>(handler); },
                   u"internal.registerCallback");
  setModuleCreator([context = eventContext_] { return std::make_shared<APMPEventLogger>(context); },
                   u"internal.eventLogger");
}

void APMPEventEditing::registerEnvironmentModules(const APMPEventEditingEnvironment& environment) {
  setModuleCreator(
      [lookup = environment.remoteConfigLookup] {
        return APMPKeyValueStore::initWithFunctionName("internal.remoteConfig", lookup);
      },
      u"internal.remoteConfig");
  setModuleCreator(
      [environment] {
        return APMPObjectProvider::initWithName("internal.appMetadata", [environment]() -> std::optional<platform::Value> {
          platform::Value::Dictionary metadata{{"platform", platform::Value("ios")},
                                               {"package_name", platform::Value(environment.packageName)},
                                               {"vmp_version", platform::Value(static_cast<long long>(environment.libraryVersion))}};
          if (environment.appVersion) metadata.emplace("app_version", platform::Value(*environment.appVersion));
          return platform::Value(std::move(metadata));
        });
      },
      u"internal.appMetadata");
  setModuleCreator(
      [logger = environment.logger] {
        return APMPMessageLogger::initWithLogger(logger ? logger : std::make_shared<APMZarazLogger>());
      },
      u"internal.logger");
}

std::shared_ptr<APMPEventEditing> APMPEventEditing::editingWithPrograms(
    const std::vector<std::shared_ptr<APMPBProgram>>& programs, const APMPEventEditingEnvironment& environment) {
  if (programs.empty() || !programs.front()) return nullptr;
  auto editing = std::make_shared<APMPEventEditing>();
  editing->registerEnvironmentModules(environment);
  platform::Error error;
  if (!editing->loadProgram(*programs.front(), &error)) {
    APMLog(1, kAPMEventEditingLoadFailedCode, "Failed to initiate event editing instance", error.description());
    return nullptr;
  }
  APMLog(7, kAPMEventEditingLoadedCode, "Loading Event Modification and Creation programs",
         static_cast<long long>(programs.size()));
  return editing;
}

void APMPEventEditing::setModuleCreator(APMPModuleCreator creator, const APMPString& name) {
  runtime_->setModuleCreator(std::move(creator), name);
}

bool APMPEventEditing::loadProgram(const APMPBProgram& program, platform::Error* error) {
  if (auto bytes = program.protoBuffer()) loadedPrograms_.push_back(std::move(*bytes));
  return runProgram(program, error);
}

bool APMPEventEditing::runProgram(const APMPBProgram& program, platform::Error* error) {
  platform::Error local;
  if (!error) error = &local;
  runtime_->resetInstructionCount();
  const APMPValuePtr last =
      runtime_->executeStatements(messagesOf<APMPBRuntimeEntity>(&program, kProgramStatements), error);
  if (!APMPHasError(error) && last->kind() == APMPRuntimeValue::Kind::Control) {
    APMPSetEditingError(error, kAPMPEditingErrorControlAtTopLevel);
  }
  if (!APMPHasError(error)) {
    const auto activities = NANOGetMessage<APMPBOgtActivities>(&program, kProgramActivities);
    for (const auto& activity : messagesOf<APMPBOgtActivity>(activities.get(), kActivitiesList)) {
      if (!loadActivityData(*activity, error)) break;
    }
  }
  collectGarbage(error);
  return !APMPHasError(error);
}

bool APMPEventEditing::loadActivityData(const APMPBOgtActivity& activity, platform::Error* error) {
  const APMPString name = APMPText(NANOGetString(&activity, kActivityName).value_or(""));
  for (const auto& rule : messagesOf<APMPBRuntimeEntity>(&activity, kActivityRules)) {
    const APMPValuePtr value = runtime_->executeStatements({rule}, error);
    if (APMPHasError(error)) return false;
    if (value->kind() != APMPRuntimeValue::Kind::Map) {
      APMPSetEditingError(error, kAPMPEditingErrorRuleNotMap);
      return false;
    }
    if (!registerRuleWithName(name, std::static_pointer_cast<APMPMapValue>(value), error)) return false;
  }
  return true;
}

bool APMPEventEditing::registerRuleWithName(const APMPString& name, const std::shared_ptr<APMPMapValue>& rule,
                                            platform::Error* error) {
  const APMPScopePtr scope = runtime_->getRunScope();
  const APMPValuePtr activity = scope->valueForName(name);
  if (activity->kind() != APMPRuntimeValue::Kind::Function) {
    APMPSetEditingError(error, kAPMPEditingErrorActivityNotFunction);
    return false;
  }
  static_cast<APMPFunctionValue&>(*activity).invokeWithArguments({rule}, scope, error);
  return !APMPHasError(error);
}

bool APMPEventEditing::handleEvent(const APMPEvent& event, platform::Error* error) {
  platform::Error local;
  if (!error) error = &local;
  eventContext_->setInputEvent(event.copy());
  runtime_->resetInstructionCount();
  callbackHandler_->triggerCallbacksWithScope(runtime_->getRunScope(), *eventContext_, error);
  if (!collectGarbage(error)) startAfresh();
  if (APMPHasError(error)) return false;
  return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
  return !eventContext_->outputEvent()->isEqualToEvent(*eventContext_->inputEvent());
}

APMPEventEditResult APMPEventEditing::editEvent(const APMPEvent& event) {
  APMPEventEditResult result;
  handleEvent(event, &result.error);
  if (result.error) return result;
  if (hasEdits()) result.outputEvent = eventContext_->outputEvent();
  result.eventsToLog = eventContext_->eventsToLog();
  return result;
}

bool APMPEventEditing::collectGarbage(platform::Error* error) {
  if (runtime_->collectGarbage(callbackHandler_->allCallbacks())) return true;
  APMPSetError(error, kAPMPErrorLimitReached);
  return false;
}

void APMPEventEditing::startAfresh() {
  runtime_->resetGlobalState();
  callbackHandler_->removeAllCallbacks();
  // Freed before the programs run again, so that their allowance starts from nothing kept.
  collectGarbage(nullptr);
  for (const platform::Data& bytes : loadedPrograms_) {
    const auto program = APMPBProgram::initWithBuffer(bytes);
    platform::Error error;
    if (program && runProgram(*program, &error)) continue;
    // A program that no longer loads runs nothing rather than half.
    APMLog(1, kAPMEventEditingLoadFailedCode, "Failed to initiate event editing instance", error.description());
    runtime_->resetGlobalState();
    callbackHandler_->removeAllCallbacks();
    collectGarbage(nullptr);
    return;
  }
}
