// Named values with write protection: the variables of a scope and the properties of maps,
// arrays and functions. Names keep the order they were first stored in.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPPropertyMap {
 public:
  APMPPropertyMap() = default;
  ~APMPPropertyMap();
  APMPPropertyMap(const APMPPropertyMap&) = delete;
  APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

  bool hasName(const APMPString& name) const { return index_.count(name) != 0; }
  // Undefined when nothing is stored under the name.
  const APMPValuePtr& valueForName(const APMPString& name) const;
  // Writes to a protected name, or to a frozen map, are ignored without a report.
  void setValue(APMPValuePtr value, const APMPString& name);
  void setImmutableValue(APMPValuePtr value, const APMPString& name);
  void removeValueForName(const APMPString& name);
  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }
  bool isNameImmutable(const APMPString& name) const;
  std::vector<APMPString> allNames() const;
  std::size_t count() const { return entries_.size(); }

  void traceChildren(APMPTracer& tracer) const;
  void clear();
  // The entries, their index and their names.
  std::size_t payloadBytes() const;

 private:
  struct Entry {
    APMPString name;
    APMPValuePtr value;
    bool immutable = false;
  };
  bool store(APMPValuePtr value, const APMPString& name, bool immutable);

  std::vector<Entry> entries_;
  std::unordered_map<APMPString, std::size_t> index_;
  bool immutable_ = false;
};
