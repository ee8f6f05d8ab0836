#include "sdk/analytics/script/apmp_runtime.h"

#include "platform/foundation/error.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_native_modules.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_runtime_entity_converter.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {
APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }
}  // namespace

void APMPDynamicProvider::setModuleCreator(APMPModuleCreator creator, const APMPString& name) {
  creators_[name] = std::move(creator);
}

APMPValuePtr APMPDynamicProvider::moduleForName(const APMPString& name, platform::Error* error) const {
  const auto found = creators_.find(name);
  if (found == creators_.end()) return undefined();
  APMPValuePtr module = found->second ? found->second() : nullptr;
  if (!module) APMPSetError(error, kAPMPErrorEmptyModule);
  return module;
}

APMPValuePtr APMPRequire::invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                              platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return undefined();
  const APMPValuePtr argument = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  const APMPString name = argument->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  if (const auto cached = modules_.find(name); cached != modules_.end()) return cached->second;
  platform::Error local;
  APMPValuePtr module = provider_->moduleForName(name, &local);
  if (local || !module) {
    APMPKeepError(error, local);
    return undefined();
  }
  modules_.emplace(name, module);
  return module;
}

void APMPRequire::traceChildren(APMPTracer& tracer) const {
  APMPFunctionValue::traceChildren(tracer);
  for (const auto& [name, module] : modules_) tracer.visit(module.get());
}

APMPRuntimePlatform::APMPRuntimePlatform() : APMPFunctionValue(u"internal.platform") {
  setValue(std::make_shared<APMPFunctionGetVersion>(), u"getVersion");
}

APMPValuePtr APMPRuntimePlatform::invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) {
  return undefined();
}

APMPRuntime::APMPRuntime() : provider_(std::make_shared<APMPDynamicProvider>()) {
  resetGlobalState();
  setModuleCreator([] { return std::make_shared<APMPRuntimePlatform>(); }, u"internal.platform");
  heap_.resetInstructionCount();
}

std::int64_t APMPRuntime::runtimeVersion() { return kAPMPRuntimeVersion; }

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, const APMPString& name) {
  provider_->setModuleCreator(std::move(creator), name);
}

APMPValuePtr APMPRuntime::executeStatements(const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& entities,
                                            platform::Error* error) {
  APMPValuePtr result = undefined();
  for (const auto& entity : entities) {
    const APMPValuePtr statement = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity.get(), error);
    if (APMPHasError(error)) return undefined();
    result = APMPEvaluator::evaluateStatement(statement, global_, error);
    if (APMPHasError(error)) return undefined();
  }
  return result;
}

APMPScopePtr APMPRuntime::getRunScope() { return global_->createChildScope(); }

std::uint32_t APMPRuntime::getInstructionCount(platform::Error*) const { return heap_.instructionCount(); }

bool APMPRuntime::collectGarbage(const std::vector<APMPValuePtr>& extraRoots) {
  std::vector<APMPValuePtr> roots = extraRoots;
  roots.push_back(require_);
  heap_.collectGarbage({global_}, roots);
  return heap_.retainedBytes() <= APMPRunState::kMaximumRetainedBytes;
}

void APMPRuntime::resetGlobalState() {
  global_ = heap_.rootScope()->createChildScope();
  require_ = std::make_shared<APMPRequire>(provider_);
  global_->setValue(require_, u"require");
}
