// The base of every datum an event-editing program touches, and the two values that carry
// program structure: an unevaluated call and a break/continue/return signal. Texts are UTF-16
// code units throughout the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {
class Error;
}

class APMPRuntimeValue;
class APMPScope;
class APMPRunState;
using APMPString = std::u16string;
using APMPValuePtr = std::shared_ptr<APMPRuntimeValue>;
using APMPArguments = std::vector<APMPValuePtr>;
using APMPScopePtr = std::shared_ptr<APMPScope>;

// Releases what a value or scope held without recursing once per level of nesting: the outermost
// release on a thread keeps a work list that the releases it sets off only add to, and empties it
// before it returns. A program can nest arrays, maps and closures a million levels deep.
class APMPDeferredRelease {
 public:
  APMPDeferredRelease();
  ~APMPDeferredRelease();
  APMPDeferredRelease(const APMPDeferredRelease&) = delete;
  APMPDeferredRelease& operator=(const APMPDeferredRelease&) = delete;

  void add(APMPValuePtr&& value);
  void add(APMPScopePtr&& scope);
  template <class Range>
  void addAll(Range& values) {
    for (auto& value : values) add(std::move(value));
  }

 private:
  struct Pending {
    std::vector<APMPValuePtr> values;
    std::vector<APMPScopePtr> scopes;
  };
  Pending own_;
  Pending* pending_;
};

// What the collector of reference cycles needs of every value that can hold others.
class APMPTracer {
 public:
  virtual ~APMPTracer() = default;
  virtual void visit(const APMPRuntimeValue* value) = 0;
  virtual void visit(const APMPScope* scope) = 0;
};

class APMPRuntimeValue : public std::enable_shared_from_this<APMPRuntimeValue> {
 public:
  // Exact class, for the checks that compare classes (strict equality, argument kinds).
  enum class Kind : std::uint8_t {
    Base, Undefined, Null, Boolean, Number, String, Array, Map, Function, Statement, Control
  };

  explicit APMPRuntimeValue(Kind kind = Kind::Base) : kind_(kind) {}
  virtual ~APMPRuntimeValue() = default;
  APMPRuntimeValue(const APMPRuntimeValue&) = delete;
  APMPRuntimeValue& operator=(const APMPRuntimeValue&) = delete;

  Kind kind() const { return kind_; }
  bool isUndefined() const { return kind_ == Kind::Undefined; }
  bool isNull() const { return kind_ == Kind::Null; }
  bool isNothing() const { return kind_ == Kind::Undefined || kind_ == Kind::Null; }

  virtual APMPString stringValueOrError(platform::Error* error) const;
  virtual double doubleValueOrError(platform::Error* error) const;
  virtual bool booleanValueOrError(platform::Error* error) const;
  // "toString" gives the text form; any other name is error 17.
  virtual APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments,
                                     const APMPScopePtr& scope, platform::Error* error);
  virtual bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;

  // Containers report what they hold and can drop it when found unreachable in a cycle.
  virtual void traceChildren(APMPTracer&) const {}
  virtual void breakCycles() {}
  // Bytes the value holds besides its own object (slots, names, texts), for the collector's
  // measure of what a program keeps between runs.
  virtual std::size_t payloadBytes() const { return 0; }
  // True the first time only: the container has been entered in a run's collection registry.
  bool claimCollectionRegistration() { return !std::exchange(registeredForCollection_, true); }

 private:
  const Kind kind_;
  bool registeredForCollection_ = false;
};

// One call of a command (its opcode in decimal) or of a named function; arguments unevaluated.
class APMPStatementValue final : public APMPRuntimeValue {
 public:
  APMPStatementValue(APMPString functionName, APMPArguments arguments)
      : APMPRuntimeValue(Kind::Statement), functionName_(std::move(functionName)), arguments_(std::move(arguments)) {}
  static std::shared_ptr<APMPStatementValue> initWithFunctionName(APMPString functionName, APMPArguments arguments) {
    return std::make_shared<APMPStatementValue>(std::move(functionName), std::move(arguments));
  }
  const APMPString& functionName() const { return functionName_; }
  const APMPArguments& arguments() const { return arguments_; }
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void traceChildren(APMPTracer& tracer) const override;
  std::size_t payloadBytes() const override;

 private:
  const APMPString functionName_;
  const APMPArguments arguments_;
};

class APMPControlValue final : public APMPRuntimeValue {
 public:
  enum class Type : std::uint8_t { Break, Continue, Return };

  APMPControlValue(Type type, APMPValuePtr data);
  ~APMPControlValue() override;
  static std::shared_ptr<APMPControlValue> initWithType(Type type, APMPValuePtr data) {
    return std::make_shared<APMPControlValue>(type, std::move(data));
  }
  static const std::shared_ptr<APMPControlValue>& breakValue();
  static const std::shared_ptr<APMPControlValue>& continueValue();
  static std::shared_ptr<APMPControlValue> returnValueWithData(APMPValuePtr data);

  Type type() const { return type_; }
  // "break", "continue" or "return".
  APMPString typeName() const;
  const APMPValuePtr& data() const { return data_; }
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void traceChildren(APMPTracer& tracer) const override;

 private:
  const Type type_;
  APMPValuePtr data_;
};

// UTF-8 literals and names to and from interpreter texts.
APMPString APMPText(std::string_view utf8);
std::string APMPUTF8(const APMPString& text);
