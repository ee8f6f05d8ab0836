#include "sdk/analytics/script/apmp_scope.h"

#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"

APMPScopePtr APMPScope::initWithParentScope(APMPScopePtr parent) {
  auto scope = std::make_shared<APMPScope>();
  if (parent) {
    scope->runState_ = parent->runState_;
    scope->parent_ = std::move(parent);
    if (scope->runState_) scope->runState_->registerScope(scope);
  }
  return scope;
}

APMPScopePtr APMPScope::createChildScope() { return initWithParentScope(shared_from_this()); }

bool APMPScope::hasName(const APMPString& name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->names_.hasName(name)) return true;
  }
  return false;
}

const APMPValuePtr& APMPScope::valueForName(const APMPString& name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->names_.hasName(name)) return scope->names_.valueForName(name);
  }
  return APMPUndefinedValue::sharedInstance();
}

void APMPScope::addValue(APMPValuePtr value, const APMPString& name) { names_.setValue(std::move(value), name); }

void APMPScope::addImmutableValue(APMPValuePtr value, const APMPString& name) {
  names_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValuePtr value, const APMPString& name) {
  APMPScope* declaring = this;
  while (declaring && !declaring->names_.hasName(name)) declaring = declaring->parent_.get();
  if (!declaring) {
    names_.setValue(std::move(value), name);
    return;
  }
  // Each scope on the way passes the assignment up; a frozen one stops it.
  for (APMPScope* scope = this; scope != declaring; scope = scope->parent_.get()) {
    if (scope->names_.isImmutable()) return;
  }
  declaring->names_.setValue(std::move(value), name);
}

void APMPScope::traceChildren(APMPTracer& tracer) const {
  if (parent_) tracer.visit(parent_.get());
  names_.traceChildren(tracer);
}

void APMPScope::breakCycles() {
  names_.clear();
  parent_.reset();
  runState_ = nullptr;
}
