// The two container values: a plain object (a property map) and a sparse array with named
// properties besides its slots. Unset slots hold the shared hole marker, which every read turns
// into undefined. Both are changed in place and shared by reference.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "sdk/analytics/script/apmp_property_map.h"

class APMPFunctionValue;

class APMPMapValue : public APMPRuntimeValue {
 public:
  APMPMapValue() : APMPRuntimeValue(Kind::Map) {}
  static std::shared_ptr<APMPMapValue> make() { return std::make_shared<APMPMapValue>(); }

  bool hasProperty(const APMPString& name) const { return propertyMap_.hasName(name); }
  const APMPValuePtr& valueForProperty(const APMPString& name) const { return propertyMap_.valueForName(name); }
  void setValue(APMPValuePtr value, const APMPString& name);
  void removeValueForProperty(const APMPString& name) { propertyMap_.removeValueForName(name); }
  std::vector<APMPString> allPropertyNames() const { return propertyMap_.allNames(); }
  APMPPropertyMap& propertyMap() { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  APMPString stringValueOrError(platform::Error*) const override { return u"[object Object]"; }
  double doubleValueOrError(platform::Error*) const override;
  bool booleanValueOrError(platform::Error*) const override { return true; }
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void traceChildren(APMPTracer& tracer) const override { propertyMap_.traceChildren(tracer); }
  void breakCycles() override { propertyMap_.clear(); }
  std::size_t payloadBytes() const override { return propertyMap_.payloadBytes(); }

 private:
  APMPPropertyMap propertyMap_;
};

class APMPArrayValue final : public APMPRuntimeValue {
 public:
  APMPArrayValue() : APMPRuntimeValue(Kind::Array) {}
  // Copies the values into the slots as they are (hole markers stay holes).
  explicit APMPArrayValue(APMPArguments slots) : APMPRuntimeValue(Kind::Array), slots_(std::move(slots)) {}
  ~APMPArrayValue() override;
  static std::shared_ptr<APMPArrayValue> make(APMPArguments slots = {}) {
    return std::make_shared<APMPArrayValue>(std::move(slots));
  }
  static const APMPValuePtr& emptyValue();
  static bool isHole(const APMPValuePtr& value) { return value == emptyValue(); }

  std::size_t count() const { return slots_.size(); }
  const APMPArguments& slots() const { return slots_; }

  APMPValuePtr valueForProperty(const APMPRuntimeValue& property, platform::Error* error) const;
  void setValue(APMPValuePtr value, const APMPRuntimeValue& property, platform::Error* error);
  void removeValueForProperty(const APMPRuntimeValue& property, platform::Error* error);
  bool hasProperty(const APMPRuntimeValue& property, platform::Error* error) const;
  // Named properties first, then the indices of present slots, ascending.
  APMPArguments allPropertyNames() const;
  // The slots with holes read as undefined.
  APMPArguments allElements() const;
  // Past the array limit (or the run's allowance) sets error 18 and changes nothing.
  bool setLength(std::size_t n, platform::Error* error);
  APMPString stringValueWithSeparator(const APMPString& separator, platform::Error* error) const;
  std::shared_ptr<APMPArrayValue> subarrayWithRange(std::int64_t location, std::int64_t length) const;
  std::optional<APMPArguments> spliceFrom(std::int64_t start, std::int64_t deleteCount, const APMPArguments& values,
                                          platform::Error* error);
  bool concat(const APMPValuePtr& value, platform::Error* error);
  void reverse();
  APMPValuePtr removeFirstElement();
  APMPValuePtr removeLastElement();
  std::optional<std::size_t> appendElements(const APMPArguments& values, platform::Error* error);
  std::optional<std::size_t> prependElements(const APMPArguments& values, platform::Error* error);
  std::int64_t indexOfValue(const APMPRuntimeValue& value, std::int64_t fromIndex, platform::Error* error) const;
  std::int64_t lastIndexOfValue(const APMPRuntimeValue& value, std::int64_t fromIndex, platform::Error* error) const;
  // Sorts with the program function, or by text without one; the comparator may not break it.
  void sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& comparator, const APMPScopePtr& scope,
                              platform::Error* error);

  APMPPropertyMap& propertyMap() { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  APMPString stringValueOrError(platform::Error* error) const override;
  double doubleValueOrError(platform::Error* error) const override;
  bool booleanValueOrError(platform::Error*) const override { return true; }
  // A function-valued named property first, then the array methods.
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void traceChildren(APMPTracer& tracer) const override;
  void breakCycles() override;
  std::size_t payloadBytes() const override {
    return slots_.size() * sizeof(APMPValuePtr) + propertyMap_.payloadBytes();
  }

 private:
  bool reserveGrowth(std::size_t newCount, platform::Error* error);

  APMPPropertyMap propertyMap_;
  APMPArguments slots_;
};

// Handler of the array methods, installed by them; none answers only named properties.
using APMPArrayMethodHandler = APMPValuePtr (*)(const APMPString& name, APMPArrayValue& receiver,
                                                const APMPArguments& arguments, const APMPScopePtr& scope,
                                                platform::Error* error);
void APMPSetArrayMethodHandler(APMPArrayMethodHandler handler);

// The named-property method call shared by maps and arrays: a function property is called, any
// other value is error 17; nullopt when there is no property of that name.
std::optional<APMPValuePtr> APMPApplyPropertyFunction(const APMPPropertyMap& properties, const APMPString& name,
                                                      const APMPArguments& arguments, const APMPScopePtr& scope,
                                                      platform::Error* error);
// "hasOwnProperty" over a property map: one evaluated argument, its text looked up.
APMPValuePtr APMPHasOwnProperty(const APMPPropertyMap& properties, const APMPArguments& arguments,
                                const APMPScopePtr& scope, platform::Error* error);
