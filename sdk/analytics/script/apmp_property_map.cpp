#include "sdk/analytics/script/apmp_property_map.h"

#include "sdk/analytics/script/apmp_primitive_values.h"

APMPPropertyMap::~APMPPropertyMap() {
  APMPDeferredRelease release;
  for (Entry& entry : entries_) release.add(std::move(entry.value));
}

const APMPValuePtr& APMPPropertyMap::valueForName(const APMPString& name) const {
  const auto found = index_.find(name);
  return found == index_.end() ? APMPUndefinedValue::sharedInstance() : entries_[found->second].value;
}

bool APMPPropertyMap::store(APMPValuePtr value, const APMPString& name, bool immutable) {
  if (immutable_) return false;
  const auto found = index_.find(name);
  if (found != index_.end()) {
    Entry& entry = entries_[found->second];
    if (entry.immutable) return false;
    entry.value = std::move(value);
    entry.immutable = immutable;
    return true;
  }
  index_.emplace(name, entries_.size());
  entries_.push_back({name, std::move(value), immutable});
  return true;
}

void APMPPropertyMap::setValue(APMPValuePtr value, const APMPString& name) { store(std::move(value), name, false); }

void APMPPropertyMap::setImmutableValue(APMPValuePtr value, const APMPString& name) {
  store(std::move(value), name, true);
}

void APMPPropertyMap::removeValueForName(const APMPString& name) {
  if (immutable_) return;
  const auto found = index_.find(name);
  if (found == index_.end() || entries_[found->second].immutable) return;
  const std::size_t position = found->second;
  index_.erase(found);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  for (std::size_t i = position; i < entries_.size(); ++i) index_[entries_[i].name] = i;
}

bool APMPPropertyMap::isNameImmutable(const APMPString& name) const {
  const auto found = index_.find(name);
  return found != index_.end() && entries_[found->second].immutable;
}

std::vector<APMPString> APMPPropertyMap::allNames() const {
  std::vector<APMPString> names;
  names.reserve(entries_.size());
  for (const Entry& entry : entries_) names.push_back(entry.name);
  return names;
}

void APMPPropertyMap::traceChildren(APMPTracer& tracer) const {
  for (const Entry& entry : entries_) tracer.visit(entry.value.get());
}

std::size_t APMPPropertyMap::payloadBytes() const {
  // An index entry is a hash node holding a copy of the name.
  constexpr std::size_t kIndexEntryBytes = sizeof(APMPString) + 2 * sizeof(void*) + sizeof(std::size_t);
  std::size_t bytes = entries_.size() * (sizeof(Entry) + kIndexEntryBytes);
  for (const Entry& entry : entries_) bytes += 2 * entry.name.size() * sizeof(char16_t);
  return bytes;
}

void APMPPropertyMap::clear() {
  entries_.clear();
  index_.clear();
}
