// The interpreter's callable: program functions close over the scope they were defined in;
// native services are subclasses that override the call.
#pragma once

#include <memory>
#include <vector>

#include "sdk/analytics/script/apmp_property_map.h"

class APMPFunctionValue : public APMPRuntimeValue {
 public:
  APMPFunctionValue(APMPString functionName, std::vector<APMPString> parameterNames, APMPArguments statements,
                    APMPScopePtr definingScope);
  ~APMPFunctionValue() override;
  static std::shared_ptr<APMPFunctionValue> initWithFunctionName(APMPString functionName,
                                                                 std::vector<APMPString> parameterNames,
                                                                 APMPArguments statements, APMPScopePtr definingScope);

  const APMPString& functionName() const { return functionName_; }
  const std::vector<APMPString>& parameterNames() const { return parameterNames_; }
  const APMPArguments& statements() const { return statements_; }
  const APMPScopePtr& definingScope() const { return definingScope_; }

  // Arguments as written, evaluated in the caller's scope; natives receive them unevaluated.
  virtual APMPValuePtr invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                           platform::Error* error);
  APMPValuePtr invokeWithEvaluatedArguments(const APMPArguments& values, platform::Error* error);

  bool hasProperty(const APMPString& name) const { return propertyMap_.hasName(name); }
  const APMPValuePtr& valueForProperty(const APMPString& name) const { return propertyMap_.valueForName(name); }
  void setValue(APMPValuePtr value, const APMPString& name);
  void removeValueForProperty(const APMPString& name) { propertyMap_.removeValueForName(name); }
  std::vector<APMPString> allPropertyNames() const { return propertyMap_.allNames(); }

  APMPString stringValueOrError(platform::Error*) const override { return functionName_; }
  double doubleValueOrError(platform::Error*) const override;
  bool booleanValueOrError(platform::Error*) const override { return true; }
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;
  // The same object, or another function of the same non-empty name.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void traceChildren(APMPTracer& tracer) const override;
  void breakCycles() override;
  std::size_t payloadBytes() const override;

 protected:
  // A native: no parameters, no statements, a scope of its own without parent.
  explicit APMPFunctionValue(APMPString functionName);

 private:
  const APMPString functionName_;
  std::vector<APMPString> parameterNames_;
  APMPArguments statements_;
  APMPScopePtr definingScope_;
  APMPPropertyMap propertyMap_;
};
