// Statement evaluation: the step budget, dispatch from opcode to the evaluator that owns it, the
// fallback to named functions, and statement lists.
#pragma once

#include <array>
#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPCommandEvaluator {
 public:
  virtual ~APMPCommandEvaluator() = default;
  virtual APMPValuePtr evaluateCommand(const APMPString& command, const APMPArguments& arguments,
                                       const APMPScopePtr& scope, platform::Error* error);
  virtual std::vector<APMPString> allSupportedCommands() const { return {}; }
};

// An evaluator whose commands are plain functions in a table; several names may share one.
class APMPTableCommandEvaluator : public APMPCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error);
  enum class Arguments { AsWritten, Evaluated };

  APMPValuePtr evaluateCommand(const APMPString& command, const APMPArguments& arguments, const APMPScopePtr& scope,
                               platform::Error* error) override;
  std::vector<APMPString> allSupportedCommands() const override;

 protected:
  APMPTableCommandEvaluator(Arguments passing, std::initializer_list<std::pair<const char*, Handler>> handlers);
  Handler handlerForCommand(const APMPString& command) const;

 private:
  Arguments passing_;
  std::unordered_map<APMPString, Handler> handlers_;
};

class APMPControlCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPControlCommandEvaluator();
};
class APMPVariableCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPVariableCommandEvaluator();
};
class APMPLoopCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPLoopCommandEvaluator();
};
class APMPLogicalCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPLogicalCommandEvaluator();
};
// Checks for exactly two operands before evaluating either.
class APMPComparisonCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPComparisonCommandEvaluator();
  APMPValuePtr evaluateCommand(const APMPString& command, const APMPArguments& arguments, const APMPScopePtr& scope,
                               platform::Error* error) override;
};
class APMPMathCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPMathCommandEvaluator();
};
class APMPBitwiseCommandEvaluator final : public APMPTableCommandEvaluator {
 public:
  APMPBitwiseCommandEvaluator();
};

// Names no evaluator claims: a function of that name in scope is called, anything else is
// undefined without error.
class APMPFunctionEvaluator final : public APMPCommandEvaluator {
 public:
  APMPValuePtr evaluateCommand(const APMPString& command, const APMPArguments& arguments, const APMPScopePtr& scope,
                               platform::Error* error) override;
};

// One per process; read-only once made.
class APMPCommandRegistrar {
 public:
  static APMPCommandRegistrar& sharedInstance();
  void registerEvaluator(std::shared_ptr<APMPCommandEvaluator> evaluator);
  APMPValuePtr evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope, platform::Error* error);

 private:
  APMPCommandRegistrar();
  APMPCommandEvaluator& evaluatorForCommand(const APMPString& command);

  std::unordered_map<APMPString, std::shared_ptr<APMPCommandEvaluator>> evaluators_;
  // The opcodes "0" to "66" looked up without hashing.
  std::array<APMPCommandEvaluator*, 67> opcodes_{};
  APMPFunctionEvaluator fallback_;
};

class APMPEvaluator {
 public:
  // One evaluation step: counted against the run's budget, refused past it (error 18) or once
  // an error is set; statements are dispatched, other values evaluate to themselves.
  static APMPValuePtr evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope, platform::Error* error);
  // Runs in order; stops at an error (undefined) or at a break, continue or return (returned).
  static APMPValuePtr executeStatements(const APMPArguments& statements, const APMPScopePtr& scope,
                                        platform::Error* error);
};

// The opcode of a name written as a decimal number from 0 to 66, or -1.
int APMPOpcodeOfCommand(const APMPString& command);
