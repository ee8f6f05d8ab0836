#include "sdk/analytics/script/apmp_function_value.h"

#include <limits>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"

APMPFunctionValue::APMPFunctionValue(APMPString functionName, std::vector<APMPString> parameterNames,
                                     APMPArguments statements, APMPScopePtr definingScope)
    : APMPRuntimeValue(Kind::Function),
      functionName_(std::move(functionName)),
      parameterNames_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {}

APMPFunctionValue::APMPFunctionValue(APMPString functionName)
    : APMPRuntimeValue(Kind::Function),
      functionName_(std::move(functionName)),
      definingScope_(APMPScope::initWithParentScope(nullptr)) {}

APMPFunctionValue::~APMPFunctionValue() {
  APMPDeferredRelease release;
  release.addAll(statements_);
  release.add(std::move(definingScope_));
}

std::shared_ptr<APMPFunctionValue> APMPFunctionValue::initWithFunctionName(APMPString functionName,
                                                                           std::vector<APMPString> parameterNames,
                                                                           APMPArguments statements,
                                                                           APMPScopePtr definingScope) {
  return std::make_shared<APMPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                             std::move(statements), std::move(definingScope));
}

APMPValuePtr APMPFunctionValue::invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                                    platform::Error* error) {
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
  return invokeWithEvaluatedArguments(values, error);
}

APMPValuePtr APMPFunctionValue::invokeWithEvaluatedArguments(const APMPArguments& values, platform::Error* error) {
  if (!definingScope_) return APMPUndefinedValue::sharedInstance();
  APMPRunState* state = APMPRunState::current();
  if (state && !state->enterCall(error)) return APMPUndefinedValue::sharedInstance();
  const APMPScopePtr callScope = definingScope_->createChildScope();
  for (std::size_t i = 0; i < parameterNames_.size(); ++i) {
    callScope->addValue(i < values.size() ? values[i] : APMPUndefinedValue::sharedInstance(), parameterNames_[i]);
  }
  const APMPValuePtr result = APMPEvaluator::executeStatements(statements_, callScope, error);
  if (state) state->leaveCall();
  if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
  if (result->kind() == Kind::Control) {
    const auto& control = static_cast<const APMPControlValue&>(*result);
    if (control.type() == APMPControlValue::Type::Return) return control.data();
  }
  return result;
}

void APMPFunctionValue::setValue(APMPValuePtr value, const APMPString& name) {
  APMPNoteMutation(*this);
  propertyMap_.setValue(std::move(value), name);
}

double APMPFunctionValue::doubleValueOrError(platform::Error*) const {
  return std::numeric_limits<double>::quiet_NaN();
}

APMPValuePtr APMPFunctionValue::applyWithName(const APMPString& name, const APMPArguments& arguments,
                                              const APMPScopePtr& scope, platform::Error* error) {
  if (auto result = APMPApplyPropertyFunction(propertyMap_, name, arguments, scope, error)) return *result;
  if (name == u"hasOwnProperty") return APMPHasOwnProperty(propertyMap_, arguments, scope, error);
  return APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

bool APMPFunctionValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  return other.kind() == Kind::Function && !functionName_.empty() &&
         static_cast<const APMPFunctionValue&>(other).functionName_ == functionName_;
}

void APMPFunctionValue::traceChildren(APMPTracer& tracer) const {
  if (definingScope_) tracer.visit(definingScope_.get());
  for (const APMPValuePtr& statement : statements_) tracer.visit(statement.get());
  propertyMap_.traceChildren(tracer);
}

std::size_t APMPFunctionValue::payloadBytes() const {
  std::size_t bytes = functionName_.size() * sizeof(char16_t) + statements_.size() * sizeof(APMPValuePtr) +
                      propertyMap_.payloadBytes();
  for (const APMPString& name : parameterNames_) bytes += sizeof(APMPString) + name.size() * sizeof(char16_t);
  return bytes;
}

void APMPFunctionValue::breakCycles() {
  propertyMap_.clear();
  statements_.clear();
  definingScope_.reset();
}
