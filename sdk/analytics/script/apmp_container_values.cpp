#include "sdk/analytics/script/apmp_container_values.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"

namespace {

APMPArrayMethodHandler gArrayMethodHandler = nullptr;
// Arrays whose join is in progress on this thread: a self-holding array joins as empty text
// there, as ES engines do, instead of recursing.
thread_local std::unordered_set<const APMPArrayValue*> tJoining;

const APMPValuePtr& readable(const APMPValuePtr& slot) {
  return APMPArrayValue::isHole(slot) ? APMPUndefinedValue::sharedInstance() : slot;
}

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

}  // namespace

void APMPSetArrayMethodHandler(APMPArrayMethodHandler handler) { gArrayMethodHandler = handler; }

std::optional<APMPValuePtr> APMPApplyPropertyFunction(const APMPPropertyMap& properties, const APMPString& name,
                                                      const APMPArguments& arguments, const APMPScopePtr& scope,
                                                      platform::Error* error) {
  if (!properties.hasName(name)) return std::nullopt;
  const APMPValuePtr property = properties.valueForName(name);
  if (property->kind() != APMPRuntimeValue::Kind::Function) {
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return undefined();
  }
  return static_cast<APMPFunctionValue&>(*property).invokeWithArguments(arguments, scope, error);
}

APMPValuePtr APMPHasOwnProperty(const APMPPropertyMap& properties, const APMPArguments& arguments,
                                const APMPScopePtr& scope, platform::Error* error) {
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error) || !APMPCheckArgumentCount(values, 1, error)) return undefined();
  const APMPString name = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  return APMPBooleanValue::booleanValueWithBool(properties.hasName(name));
}

void APMPMapValue::setValue(APMPValuePtr value, const APMPString& name) {
  APMPNoteMutation(*this);
  propertyMap_.setValue(std::move(value), name);
}

double APMPMapValue::doubleValueOrError(platform::Error*) const { return std::numeric_limits<double>::quiet_NaN(); }

APMPValuePtr APMPMapValue::applyWithName(const APMPString& name, const APMPArguments& arguments,
                                         const APMPScopePtr& scope, platform::Error* error) {
  if (auto result = APMPApplyPropertyFunction(propertyMap_, name, arguments, scope, error)) return *result;
  if (name == u"hasOwnProperty") return APMPHasOwnProperty(propertyMap_, arguments, scope, error);
  return APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

bool APMPMapValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Map) return false;
  const auto& map = static_cast<const APMPMapValue&>(other);
  if (map.propertyMap_.count() != propertyMap_.count()) return false;
  for (const APMPString& name : propertyMap_.allNames()) {
    if (!map.propertyMap_.hasName(name)) return false;
    if (!APMPStructurallyEqual(*propertyMap_.valueForName(name), *map.propertyMap_.valueForName(name))) return false;
  }
  return true;
}

APMPArrayValue::~APMPArrayValue() {
  APMPDeferredRelease release;
  release.addAll(slots_);
}

const APMPValuePtr& APMPArrayValue::emptyValue() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static const APMPValuePtr* const hole = new APMPValuePtr(std::make_shared<APMPRuntimeValue>());
  return *hole;
}

bool APMPArrayValue::reserveGrowth(std::size_t newCount, platform::Error* error) {
  if (newCount <= slots_.size()) return APMPChargeWork(slots_.size() - newCount, 0, error);
  if (newCount > APMPRunState::kMaximumArrayCount) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return false;
  }
  return APMPChargeWork(newCount - slots_.size(), 0, error) &&
         APMPChargeAllocation((newCount - slots_.size()) * sizeof(APMPValuePtr), error);
}

APMPValuePtr APMPArrayValue::valueForProperty(const APMPRuntimeValue& property, platform::Error* error) const {
  const APMPString name = property.stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  if (property.kind() == Kind::String && name == u"length") return APMPNumberValue::make(static_cast<double>(count()));
  if (APMPIsArrayIndex(property)) {
    const double index = property.doubleValueOrError(nullptr);
    return index < static_cast<double>(count()) ? readable(slots_[static_cast<std::size_t>(index)]) : undefined();
  }
  return propertyMap_.valueForName(name);
}

void APMPArrayValue::setValue(APMPValuePtr value, const APMPRuntimeValue& property, platform::Error* error) {
  const APMPString name = property.stringValueOrError(error);
  if (APMPHasError(error)) return;
  if (property.kind() == Kind::String && name == u"length") {
    if (!APMPIsArrayIndex(*value)) {
      APMPSetError(error, kAPMPErrorInvalidLength);
      return;
    }
    const double length = value->doubleValueOrError(nullptr);
    if (length > static_cast<double>(APMPRunState::kMaximumArrayCount)) {
      APMPSetError(error, kAPMPErrorLimitReached);
      return;
    }
    setLength(static_cast<std::size_t>(length), error);
    return;
  }
  APMPNoteMutation(*this);
  if (APMPIsArrayIndex(property)) {
    const double index = property.doubleValueOrError(nullptr);
    if (index >= static_cast<double>(APMPRunState::kMaximumArrayCount)) {
      APMPSetError(error, kAPMPErrorLimitReached);
      return;
    }
    const auto slot = static_cast<std::size_t>(index);
    if (slot + 1 > count() && !setLength(slot + 1, error)) return;
    slots_[slot] = std::move(value);
    return;
  }
  propertyMap_.setValue(std::move(value), name);
}

void APMPArrayValue::removeValueForProperty(const APMPRuntimeValue& property, platform::Error* error) {
  const APMPString name = property.stringValueOrError(error);
  if (APMPHasError(error)) return;
  if (APMPIsArrayIndex(property)) {
    const double index = property.doubleValueOrError(nullptr);
    if (index < static_cast<double>(count())) slots_[static_cast<std::size_t>(index)] = emptyValue();
    return;
  }
  propertyMap_.removeValueForName(name);
}

bool APMPArrayValue::hasProperty(const APMPRuntimeValue& property, platform::Error* error) const {
  const APMPString name = property.stringValueOrError(error);
  if (APMPHasError(error)) return false;
  if (APMPIsArrayIndex(property)) {
    const double index = property.doubleValueOrError(nullptr);
    return index < static_cast<double>(count()) && !isHole(slots_[static_cast<std::size_t>(index)]);
  }
  return propertyMap_.hasName(name);
}

APMPArguments APMPArrayValue::allPropertyNames() const {
  APMPArguments names;
  for (const APMPString& name : propertyMap_.allNames()) names.push_back(APMPStringValue::make(name));
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!isHole(slots_[i])) names.push_back(APMPStringValue::make(APMPNumberToText(static_cast<double>(i))));
  }
  return names;
}

APMPArguments APMPArrayValue::allElements() const {
  APMPArguments elements;
  elements.reserve(slots_.size());
  for (const APMPValuePtr& slot : slots_) elements.push_back(readable(slot));
  return elements;
}

bool APMPArrayValue::setLength(std::size_t n, platform::Error* error) {
  if (!reserveGrowth(n, error)) return false;
  slots_.resize(n, emptyValue());
  return true;
}

APMPString APMPArrayValue::stringValueWithSeparator(const APMPString& separator, platform::Error* error) const {
  if (slots_.empty() || tJoining.count(this)) return {};
  APMPNestingGuard guard;
  if (guard.exceeded()) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return {};
  }
  if (!APMPChargeWork(slots_.size(), slots_.size() * separator.size(), error)) return {};
  tJoining.insert(this);
  APMPString text;
  platform::Error local;
  for (std::size_t i = 0; i < slots_.size() && !local; ++i) {
    const APMPValuePtr& slot = slots_[i];
    if (!isHole(slot) && !slot->isNothing()) text += slot->stringValueOrError(&local);
    if (i + 1 < slots_.size()) text += separator;
    if (text.size() > APMPRunState::kMaximumTextLength) APMPSetError(&local, kAPMPErrorLimitReached);
  }
  tJoining.erase(this);
  if (!local) APMPChargeAllocation(text.size() * sizeof(char16_t), &local);
  if (local) {
    APMPKeepError(error, local);
    return {};
  }
  return text;
}

std::shared_ptr<APMPArrayValue> APMPArrayValue::subarrayWithRange(std::int64_t location, std::int64_t length) const {
  const auto n = static_cast<std::int64_t>(count());
  location = std::clamp<std::int64_t>(location, 0, n);
  length = std::clamp<std::int64_t>(length, 0, n - location);
  return make(APMPArguments(slots_.begin() + location, slots_.begin() + location + length));
}

std::optional<APMPArguments> APMPArrayValue::spliceFrom(std::int64_t start, std::int64_t deleteCount,
                                                        const APMPArguments& values, platform::Error* error) {
  // The slots after the start move.
  if (!APMPChargeWork(count() + values.size(), 0, error)) return std::nullopt;
  const auto n = static_cast<std::int64_t>(count());
  start = std::clamp<std::int64_t>(start, 0, n);
  deleteCount = std::clamp<std::int64_t>(deleteCount, 0, n - start);
  if (!reserveGrowth(count() - static_cast<std::size_t>(deleteCount) + values.size(), error)) return std::nullopt;
  APMPNoteMutation(*this);
  const auto first = slots_.begin() + start;
  APMPArguments removed(first, first + deleteCount);
  slots_.erase(first, first + deleteCount);
  slots_.insert(slots_.begin() + start, values.begin(), values.end());
  return removed;
}

bool APMPArrayValue::concat(const APMPValuePtr& value, platform::Error* error) {
  if (value->kind() == Kind::Control) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return false;
  }
  if (value->kind() == Kind::Array) {
    const APMPArguments other = static_cast<const APMPArrayValue&>(*value).slots_;
    return appendElements(other, error).has_value();
  }
  return appendElements({value}, error).has_value();
}

void APMPArrayValue::reverse() { std::reverse(slots_.begin(), slots_.end()); }

APMPValuePtr APMPArrayValue::removeFirstElement() {
  if (slots_.empty()) return undefined();
  APMPValuePtr first = readable(slots_.front());
  slots_.erase(slots_.begin());
  return first;
}

APMPValuePtr APMPArrayValue::removeLastElement() {
  if (slots_.empty()) return undefined();
  APMPValuePtr last = readable(slots_.back());
  slots_.pop_back();
  return last;
}

std::optional<std::size_t> APMPArrayValue::appendElements(const APMPArguments& values, platform::Error* error) {
  if (!reserveGrowth(count() + values.size(), error)) return std::nullopt;
  APMPNoteMutation(*this);
  slots_.insert(slots_.end(), values.begin(), values.end());
  return count();
}

std::optional<std::size_t> APMPArrayValue::prependElements(const APMPArguments& values, platform::Error* error) {
  // Every slot moves.
  if (!APMPChargeWork(count(), 0, error) || !reserveGrowth(count() + values.size(), error)) return std::nullopt;
  APMPNoteMutation(*this);
  slots_.insert(slots_.begin(), values.begin(), values.end());
  return count();
}

std::int64_t APMPArrayValue::indexOfValue(const APMPRuntimeValue& value, std::int64_t fromIndex,
                                          platform::Error* error) const {
  for (auto i = static_cast<std::size_t>(std::max<std::int64_t>(fromIndex, 0)); i < slots_.size(); ++i) {
    if (!APMPChargeWork(1, 0, error)) return -1;
    if (isHole(slots_[i])) continue;
    const bool equal = APMPStrictEquals(*slots_[i], value, error);
    if (APMPHasError(error)) return -1;
    if (equal) return static_cast<std::int64_t>(i);
  }
  return -1;
}

std::int64_t APMPArrayValue::lastIndexOfValue(const APMPRuntimeValue& value, std::int64_t fromIndex,
                                              platform::Error* error) const {
  for (std::int64_t i = std::min<std::int64_t>(fromIndex, static_cast<std::int64_t>(count()) - 1); i >= 0; --i) {
    if (!APMPChargeWork(1, 0, error)) return -1;
    const APMPValuePtr& slot = slots_[static_cast<std::size_t>(i)];
    if (isHole(slot)) continue;
    const bool equal = APMPStrictEquals(*slot, value, error);
    if (APMPHasError(error)) return -1;
    if (equal) return i;
  }
  return -1;
}

void APMPArrayValue::sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& comparator,
                                            const APMPScopePtr& scope, platform::Error* error) {
  platform::Error recorded;
  // -1 puts x first, 1 puts y first, 0 keeps their order.
  const auto compare = [&](const APMPValuePtr& x, const APMPValuePtr& y) -> int {
    // A comparison, and the slot it moves.
    if (recorded || !APMPChargeWork(2, 0, &recorded)) return 0;
    if (isHole(x) || isHole(y)) return isHole(x) == isHole(y) ? 0 : (isHole(y) ? -1 : 1);
    if (x->isUndefined() || y->isUndefined()) return x->isUndefined() == y->isUndefined() ? 0 : (y->isUndefined() ? -1 : 1);
    if (comparator) {
      const APMPValuePtr result = comparator->invokeWithArguments({x, y}, scope, &recorded);
      if (recorded) return 0;
      const double order = result->doubleValueOrError(&recorded);
      if (recorded || std::isnan(order) || order == 0) return 0;
      return order < 0 ? -1 : 1;
    }
    const APMPString a = x->stringValueOrError(&recorded);
    if (recorded) return 0;
    const APMPString b = y->stringValueOrError(&recorded);
    return recorded ? 0 : APMPCompareTexts(a, b);
  };
  // A merge sort on a copy: any answer of the comparator, and any change it makes to the array
  // meanwhile, leaves the sort well defined.
  if (!APMPChargeWork(slots_.size(), 0, error)) return;
  APMPArguments items = slots_;
  APMPArguments buffer(items.size());
  for (std::size_t width = 1; width < items.size(); width *= 2) {
    for (std::size_t left = 0; left < items.size(); left += 2 * width) {
      const std::size_t middle = std::min(left + width, items.size());
      const std::size_t right = std::min(left + 2 * width, items.size());
      std::size_t i = left, j = middle, k = left;
      while (i < middle && j < right) buffer[k++] = std::move(compare(items[i], items[j]) > 0 ? items[j++] : items[i++]);
      while (i < middle) buffer[k++] = std::move(items[i++]);
      while (j < right) buffer[k++] = std::move(items[j++]);
    }
    items.swap(buffer);
  }
  slots_ = std::move(items);
  APMPKeepError(error, recorded);
}

APMPString APMPArrayValue::stringValueOrError(platform::Error* error) const {
  return stringValueWithSeparator(u",", error);
}

double APMPArrayValue::doubleValueOrError(platform::Error* error) const {
  platform::Error local;
  const APMPString text = stringValueOrError(&local);
  if (local) {
    APMPKeepError(error, local);
    return std::numeric_limits<double>::quiet_NaN();
  }
  return APMPTextToNumber(text);
}

APMPValuePtr APMPArrayValue::applyWithName(const APMPString& name, const APMPArguments& arguments,
                                           const APMPScopePtr& scope, platform::Error* error) {
  if (auto result = APMPApplyPropertyFunction(propertyMap_, name, arguments, scope, error)) return *result;
  if (gArrayMethodHandler) return gArrayMethodHandler(name, *this, arguments, scope, error);
  return APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

bool APMPArrayValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Array) return false;
  const auto& array = static_cast<const APMPArrayValue&>(other);
  if (array.slots_.size() != slots_.size()) return false;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!APMPStructurallyEqual(*slots_[i], *array.slots_[i])) return false;
  }
  return true;
}

void APMPArrayValue::traceChildren(APMPTracer& tracer) const {
  propertyMap_.traceChildren(tracer);
  for (const APMPValuePtr& slot : slots_) tracer.visit(slot.get());
}

void APMPArrayValue::breakCycles() {
  propertyMap_.clear();
  slots_.clear();
}
