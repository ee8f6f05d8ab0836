#include "sdk/analytics/script/apmp_command_registrar.h"

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_array_commands.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"
#include "sdk/analytics/script/apmp_string_commands.h"

int APMPOpcodeOfCommand(const APMPString& command) {
  if (command.empty() || command.size() > 2) return -1;
  if (command.size() == 2 && command[0] == u'0') return -1;
  int opcode = 0;
  for (char16_t unit : command) {
    if (unit < u'0' || unit > u'9') return -1;
    opcode = opcode * 10 + (unit - u'0');
  }
  return opcode <= 66 ? opcode : -1;
}

APMPValuePtr APMPCommandEvaluator::evaluateCommand(const APMPString&, const APMPArguments&, const APMPScopePtr&,
                                                   platform::Error*) {
  return APMPUndefinedValue::sharedInstance();
}

APMPTableCommandEvaluator::APMPTableCommandEvaluator(Arguments passing,
                                                     std::initializer_list<std::pair<const char*, Handler>> handlers)
    : passing_(passing) {
  for (const auto& [name, handler] : handlers) handlers_.emplace(APMPText(name), handler);
}

APMPTableCommandEvaluator::Handler APMPTableCommandEvaluator::handlerForCommand(const APMPString& command) const {
  const auto found = handlers_.find(command);
  return found == handlers_.end() ? nullptr : found->second;
}

APMPValuePtr APMPTableCommandEvaluator::evaluateCommand(const APMPString& command, const APMPArguments& arguments,
                                                        const APMPScopePtr& scope, platform::Error* error) {
  const Handler handler = handlerForCommand(command);
  if (!handler) return APMPUndefinedValue::sharedInstance();
  if (passing_ == Arguments::AsWritten) return handler(arguments, scope, error);
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
  return handler(values, scope, error);
}

std::vector<APMPString> APMPTableCommandEvaluator::allSupportedCommands() const {
  std::vector<APMPString> names;
  for (const auto& entry : handlers_) names.push_back(entry.first);
  return names;
}

APMPValuePtr APMPFunctionEvaluator::evaluateCommand(const APMPString& command, const APMPArguments& arguments,
                                                    const APMPScopePtr& scope, platform::Error* error) {
  const APMPValuePtr callee = scope->valueForName(command);
  if (callee->kind() != APMPRuntimeValue::Kind::Function) return APMPUndefinedValue::sharedInstance();
  return static_cast<APMPFunctionValue&>(*callee).invokeWithArguments(arguments, scope, error);
}

APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static APMPCommandRegistrar* const registrar = new APMPCommandRegistrar;
  return *registrar;
}

APMPCommandRegistrar::APMPCommandRegistrar() {
  registerEvaluator(std::make_shared<APMPBitwiseCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPComparisonCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPControlCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPLogicalCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPLoopCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPMathCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPVariableCommandEvaluator>());
  // Every run passes through here first, so the methods are in place before any value is asked.
  APMPInstallStringMethods();
  APMPInstallArrayMethods();
}

void APMPCommandRegistrar::registerEvaluator(std::shared_ptr<APMPCommandEvaluator> evaluator) {
  for (const APMPString& name : evaluator->allSupportedCommands()) {
    const int opcode = APMPOpcodeOfCommand(name);
    if (opcode >= 0) opcodes_[static_cast<std::size_t>(opcode)] = evaluator.get();
    evaluators_[name] = evaluator;
  }
}

APMPCommandEvaluator& APMPCommandRegistrar::evaluatorForCommand(const APMPString& command) {
  const int opcode = APMPOpcodeOfCommand(command);
  if (opcode >= 0) {
    APMPCommandEvaluator* evaluator = opcodes_[static_cast<std::size_t>(opcode)];
    return evaluator ? *evaluator : fallback_;
  }
  const auto found = evaluators_.find(command);
  return found == evaluators_.end() ? fallback_ : *found->second;
}

APMPValuePtr APMPCommandRegistrar::evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                                     platform::Error* error) {
  platform::Error local;
  if (!error) error = &local;
  APMPRunState* state = scope ? scope->runState() : nullptr;
  // Without a run state there is no budget to count against: nothing runs.
  if (!state) APMPSetError(error, kAPMPErrorLimitReached);
  if (error->isSet()) return APMPUndefinedValue::sharedInstance();
  if (state->steps_ >= APMPRunState::kStepLimit) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return APMPUndefinedValue::sharedInstance();
  }
  ++state->steps_;
  if (value->kind() != APMPRuntimeValue::Kind::Statement) return value;
  if (state->depth_ >= APMPRunState::kMaximumEvaluationDepth || !APMPStackHasRoom()) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return APMPUndefinedValue::sharedInstance();
  }
  const auto& statement = static_cast<const APMPStatementValue&>(*value);
  APMPRunStateActivation activation(state);
  ++state->depth_;
  APMPValuePtr result = evaluatorForCommand(statement.functionName())
                            .evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
  --state->depth_;
  return error->isSet() ? APMPUndefinedValue::sharedInstance() : result;
}

APMPValuePtr APMPEvaluator::evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                              platform::Error* error) {
  return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

APMPValuePtr APMPEvaluator::executeStatements(const APMPArguments& statements, const APMPScopePtr& scope,
                                              platform::Error* error) {
  APMPValuePtr result = APMPUndefinedValue::sharedInstance();
  for (const APMPValuePtr& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
    if (result->kind() == APMPRuntimeValue::Kind::Control) return result;
  }
  return result;
}

APMPArguments APMPEvaluateArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                    platform::Error* error) {
  APMPArguments values;
  values.reserve(arguments.size());
  for (const APMPValuePtr& argument : arguments) {
    values.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (APMPHasError(error)) break;
  }
  return values;
}
