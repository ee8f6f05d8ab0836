// A chain of name tables in which programs declare, read and assign variables. A child holds its
// parent; closures hold the scope they were defined in.
#pragma once

#include <memory>

#include "sdk/analytics/script/apmp_property_map.h"

class APMPScope : public std::enable_shared_from_this<APMPScope> {
 public:
  // A scope with a parent shares the parent's run state and is registered with it.
  static APMPScopePtr initWithParentScope(APMPScopePtr parent);
  APMPScopePtr createChildScope();

  bool hasName(const APMPString& name) const;
  // Undefined for a name declared nowhere.
  const APMPValuePtr& valueForName(const APMPString& name) const;
  void addValue(APMPValuePtr value, const APMPString& name);
  void addImmutableValue(APMPValuePtr value, const APMPString& name);
  // Assigns in the nearest scope that declares the name, or declares it here.
  void setValue(APMPValuePtr value, const APMPString& name);
  void makeImmutable() { names_.makeImmutable(); }

  const APMPScopePtr& parentScope() const { return parent_; }
  const APMPPropertyMap& names() const { return names_; }
  // The budget this scope's runs are counted against; none for scopes made outside a heap.
  APMPRunState* runState() const { return runState_; }

  void traceChildren(APMPTracer& tracer) const;
  void breakCycles();
  std::size_t payloadBytes() const { return names_.payloadBytes(); }

 private:
  friend class APMPRuntimeHeap;
  APMPScopePtr parent_;
  APMPPropertyMap names_;
  APMPRunState* runState_ = nullptr;
};
