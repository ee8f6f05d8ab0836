#include "sdk/analytics/script/apmp_runtime_value.h"

#include <cmath>
#include <limits>

#include "platform/foundation/error.h"
#include "platform/foundation/strings.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"

namespace {
// The work list of the outermost release running on this thread, if any.
thread_local void* tPendingReleases = nullptr;
}  // namespace

APMPDeferredRelease::APMPDeferredRelease()
    : pending_(tPendingReleases ? static_cast<Pending*>(tPendingReleases) : &own_) {
  if (pending_ == &own_) tPendingReleases = &own_;
}

APMPDeferredRelease::~APMPDeferredRelease() {
  if (pending_ != &own_) return;
  // Each release here may add more to the list; none of them recurses.
  while (!own_.values.empty() || !own_.scopes.empty()) {
    if (!own_.values.empty()) {
      APMPValuePtr value = std::move(own_.values.back());
      own_.values.pop_back();
    } else {
      APMPScopePtr scope = std::move(own_.scopes.back());
      own_.scopes.pop_back();
    }
  }
  tPendingReleases = nullptr;
}

// Only a last reference ends its object; any other is dropped at once.
void APMPDeferredRelease::add(APMPValuePtr&& value) {
  if (value.use_count() == 1) {
    pending_->values.push_back(std::move(value));
  } else {
    value.reset();
  }
}

void APMPDeferredRelease::add(APMPScopePtr&& scope) {
  if (scope.use_count() == 1) {
    pending_->scopes.push_back(std::move(scope));
  } else {
    scope.reset();
  }
}

APMPString APMPRuntimeValue::stringValueOrError(platform::Error* error) const {
  APMPSetError(error, kAPMPErrorNoStringValue);
  return {};
}

double APMPRuntimeValue::doubleValueOrError(platform::Error* error) const {
  APMPSetError(error, kAPMPErrorNoNumberValue);
  return std::numeric_limits<double>::quiet_NaN();
}

bool APMPRuntimeValue::booleanValueOrError(platform::Error* error) const {
  APMPSetError(error, kAPMPErrorNoBooleanValue);
  return false;
}

APMPValuePtr APMPRuntimeValue::applyWithName(const APMPString& name, const APMPArguments&, const APMPScopePtr&,
                                             platform::Error* error) {
  if (name == u"toString") {
    platform::Error conversionError;
    APMPString text = stringValueOrError(&conversionError);
    if (conversionError) {
      APMPKeepError(error, conversionError);
      return APMPUndefinedValue::sharedInstance();
    }
    return APMPStringValue::make(std::move(text));
  }
  APMPSetError(error, kAPMPErrorUnknownMethod);
  return APMPUndefinedValue::sharedInstance();
}

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const { return this == &other; }

bool APMPStatementValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Statement) return false;
  const auto& statement = static_cast<const APMPStatementValue&>(other);
  if (statement.functionName_ != functionName_ || statement.arguments_.size() != arguments_.size()) return false;
  for (std::size_t i = 0; i < arguments_.size(); ++i) {
    if (!APMPStructurallyEqual(*arguments_[i], *statement.arguments_[i])) return false;
  }
  return true;
}

std::size_t APMPStatementValue::payloadBytes() const {
  return functionName_.size() * sizeof(char16_t) + arguments_.size() * sizeof(APMPValuePtr);
}

void APMPStatementValue::traceChildren(APMPTracer& tracer) const {
  for (const APMPValuePtr& argument : arguments_) tracer.visit(argument.get());
}

APMPControlValue::APMPControlValue(Type type, APMPValuePtr data)
    : APMPRuntimeValue(Kind::Control), type_(type), data_(data ? std::move(data) : APMPUndefinedValue::sharedInstance()) {}

APMPControlValue::~APMPControlValue() {
  APMPDeferredRelease release;
  release.add(std::move(data_));
}

const std::shared_ptr<APMPControlValue>& APMPControlValue::breakValue() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static const auto* const value =
      new std::shared_ptr<APMPControlValue>(std::make_shared<APMPControlValue>(Type::Break, nullptr));
  return *value;
}

const std::shared_ptr<APMPControlValue>& APMPControlValue::continueValue() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static const auto* const value =
      new std::shared_ptr<APMPControlValue>(std::make_shared<APMPControlValue>(Type::Continue, nullptr));
  return *value;
}

std::shared_ptr<APMPControlValue> APMPControlValue::returnValueWithData(APMPValuePtr data) {
  return std::make_shared<APMPControlValue>(Type::Return, std::move(data));
}

APMPString APMPControlValue::typeName() const {
  switch (type_) {
    case Type::Break: return u"break";
    case Type::Continue: return u"continue";
    case Type::Return: return u"return";
  }
  return {};
}

bool APMPControlValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Control) return false;
  const auto& control = static_cast<const APMPControlValue&>(other);
  return control.type_ == type_ && APMPStructurallyEqual(*data_, *control.data_);
}

void APMPControlValue::traceChildren(APMPTracer& tracer) const { tracer.visit(data_.get()); }

APMPString APMPText(std::string_view utf8) { return platform::strings::toUTF16(utf8); }
std::string APMPUTF8(const APMPString& text) { return platform::strings::fromUTF16(text); }
