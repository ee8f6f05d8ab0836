// Blocks and statement lists, conditionals, switch, sequence, break/continue/return, function
// declarations and method calls. Arguments arrive as written; each handler evaluates what it
// needs, where and when.
#include <optional>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

using Kind = APMPRuntimeValue::Kind;

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

APMPValuePtr evaluate(const APMPValuePtr& value, const APMPScopePtr& scope, platform::Error* error) {
  return APMPEvaluator::evaluateStatement(value, scope, error);
}

bool isControl(const APMPValuePtr& value, APMPControlValue::Type type) {
  return value->kind() == Kind::Control && static_cast<const APMPControlValue&>(*value).type() == type;
}

APMPValuePtr methodCall(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  if (values[1]->kind() != Kind::String || values[2]->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const APMPString name = values[1]->stringValueOrError(error);
  const APMPArguments methodArguments = static_cast<const APMPArrayValue&>(*values[2]).allElements();
  return values[0]->applyWithName(name, methodArguments, scope, error);
}

APMPValuePtr breakCommand(const APMPArguments& arguments, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 0, error)) return undefined();
  return APMPControlValue::breakValue();
}

APMPValuePtr continueCommand(const APMPArguments& arguments, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 0, error)) return undefined();
  return APMPControlValue::continueValue();
}

APMPValuePtr statementList(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return undefined();
  const APMPValuePtr list = evaluate(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  if (list->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const APMPArguments statements = static_cast<const APMPArrayValue&>(*list).slots();
  return APMPEvaluator::executeStatements(statements, scope, error);
}

APMPValuePtr block(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  return APMPEvaluator::executeStatements(arguments, scope->createChildScope(), error);
}

APMPValuePtr sequence(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckMinimumArgumentCount(arguments, 1, error)) return undefined();
  APMPValuePtr result = undefined();
  for (const APMPValuePtr& argument : arguments) {
    result = evaluate(argument, scope, error);
    if (APMPHasError(error)) return undefined();
    if (result->kind() == Kind::Control) {
      APMPSetError(error, kAPMPErrorArgumentKind);
      return undefined();
    }
  }
  return result;
}

// A branch that evaluates to a statement-list array runs in the current scope.
APMPValuePtr runBranch(const APMPValuePtr& branch, const APMPScopePtr& scope, platform::Error* error) {
  const APMPValuePtr value = evaluate(branch, scope, error);
  if (APMPHasError(error)) return undefined();
  if (value->kind() != Kind::Array) return value;
  const APMPArguments statements = static_cast<const APMPArrayValue&>(*value).slots();
  return APMPEvaluator::executeStatements(statements, scope, error);
}

APMPValuePtr ifCommand(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckMinimumArgumentCount(arguments, 1, error) || !APMPCheckMaximumArgumentCount(arguments, 3, error)) {
    return undefined();
  }
  const APMPValuePtr condition = evaluate(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  const bool truth = condition->booleanValueOrError(error);
  if (APMPHasError(error)) return undefined();
  const std::size_t selected = truth ? 1 : 2;
  if (selected >= arguments.size()) return undefined();
  return runBranch(arguments[selected], scope, error);
}

APMPValuePtr conditional(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return undefined();
  const APMPValuePtr condition = evaluate(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  const bool truth = condition->booleanValueOrError(error);
  if (APMPHasError(error)) return undefined();
  return evaluate(arguments[truth ? 1 : 2], scope, error);
}

APMPValuePtr returnCommand(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  return APMPControlValue::returnValueWithData(values.empty() ? undefined() : values[0]);
}

APMPValuePtr statementListLiteral(const APMPArguments& arguments, const APMPScopePtr&, platform::Error*) {
  return APMPArrayValue::make(arguments);
}

std::shared_ptr<APMPFunctionValue> makeFunction(const APMPArguments& arguments, const APMPScopePtr& scope,
                                                platform::Error* error) {
  if (!APMPCheckMinimumArgumentCount(arguments, 2, error)) return nullptr;
  // The name is taken as written: a statement there has no text form (error 5).
  APMPString name = arguments[0]->stringValueOrError(error);
  if (APMPHasError(error)) return nullptr;
  const APMPValuePtr parameterList = evaluate(arguments[1], scope, error);
  if (APMPHasError(error)) return nullptr;
  if (parameterList->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return nullptr;
  }
  std::vector<APMPString> parameters;
  for (const APMPValuePtr& parameter : static_cast<const APMPArrayValue&>(*parameterList).slots()) {
    parameters.push_back(parameter->stringValueOrError(error));
    if (APMPHasError(error)) return nullptr;
  }
  APMPArguments body(arguments.begin() + 2, arguments.end());
  return APMPFunctionValue::initWithFunctionName(std::move(name), std::move(parameters), std::move(body), scope);
}

APMPValuePtr functionExpression(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  auto function = makeFunction(arguments, scope, error);
  if (!function) return undefined();
  return function;
}

APMPValuePtr functionDeclaration(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  auto function = makeFunction(arguments, scope, error);
  if (!function) return undefined();
  scope->setValue(function, function->functionName());
  return function;
}

// The outcome of one case body: nullopt goes on, a value ends the switch with it.
std::optional<APMPValuePtr> switchBody(const APMPValuePtr& body, const APMPScopePtr& scope, platform::Error* error) {
  const APMPValuePtr result = evaluate(body, scope, error);
  if (APMPHasError(error)) return undefined();
  if (isControl(result, APMPControlValue::Type::Break)) return undefined();
  if (result->kind() == Kind::Control) return result;
  return std::nullopt;
}

APMPValuePtr switchCommand(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  if (values[1]->kind() != Kind::Array || values[2]->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentCount);
    return undefined();
  }
  const APMPArguments cases = static_cast<const APMPArrayValue&>(*values[1]).slots();
  const APMPArguments bodies = static_cast<const APMPArrayValue&>(*values[2]).slots();
  bool matched = false;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!matched) {
      const APMPValuePtr candidate = evaluate(cases[i], scope, error);
      if (APMPHasError(error)) return undefined();
      matched = APMPStrictEquals(*values[0], *candidate, error);
      if (APMPHasError(error)) return undefined();
      if (!matched) continue;
    }
    // A case without a body cannot run.
    if (i >= bodies.size()) {
      APMPSetError(error, kAPMPErrorArgumentCount);
      return undefined();
    }
    if (auto end = switchBody(bodies[i], scope, error)) return *end;
  }
  if (bodies.size() == cases.size() + 1) {
    if (auto end = switchBody(bodies.back(), scope, error)) return *end;
  }
  return undefined();
}

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::AsWritten, {
                                                          {"2", methodCall},
                                                          {"4", breakCommand},
                                                          {"5", statementList},
                                                          {"6", continueCommand},
                                                          {"9", statementList},
                                                          {"13", sequence},
                                                          {"22", ifCommand},
                                                          {"36", returnCommand},
                                                          {"38", switchCommand},
                                                          {"39", conditional},
                                                          {"46", statementListLiteral},
                                                          {"50", functionDeclaration},
                                                          {"51", functionExpression},
                                                          {"53", block},
                                                      }) {}
