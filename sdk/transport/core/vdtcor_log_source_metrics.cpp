#include "sdk/transport/core/vdtcor_log_source_metrics.h"

#include <charconv>

#include "platform/foundation/format.h"
#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_event.h"

std::shared_ptr<VDTCORLogSourceMetrics> VDTCORLogSourceMetrics::metrics() {
  return std::make_shared<VDTCORLogSourceMetrics>();
}

std::shared_ptr<VDTCORLogSourceMetrics> VDTCORLogSourceMetrics::metricsWithEvents(
    const std::vector<std::shared_ptr<VDTCOREvent>>& events, VDTCOREventDropReason reason) {
  Counter counter;
  for (const auto& event : events) {
    if (!event || event->mappingID().empty()) continue;
    counter[event->mappingID()][reason] += 1;
  }
  return std::make_shared<VDTCORLogSourceMetrics>(std::move(counter));
}

std::shared_ptr<VDTCORLogSourceMetrics> VDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(
    Counter counter) {
  return std::make_shared<VDTCORLogSourceMetrics>(std::move(counter));
}

std::shared_ptr<VDTCORLogSourceMetrics> VDTCORLogSourceMetrics::logSourceMetricsByMergingWithLogSourceMetrics(
    const VDTCORLogSourceMetrics& other) const {
  Counter merged = counter_;
  for (const auto& [mappingID, reasons] : other.counter_) {
    auto& into = merged[mappingID];
    for (const auto& [reason, count] : reasons) into[reason] += count;
  }
  return std::make_shared<VDTCORLogSourceMetrics>(std::move(merged));
}

std::size_t VDTCORLogSourceMetrics::hash() const {
  std::size_t h = 0;
  for (const auto& [mappingID, reasons] : counter_) {
    std::size_t inner = std::hash<std::string>{}(mappingID);
    for (const auto& [reason, count] : reasons) {
      inner = inner * 31 + std::hash<std::int64_t>{}(reason) * 17 + std::hash<std::int64_t>{}(count);
    }
    h ^= inner;
  }
  return h;
}

namespace {

platform::Value counterValue(const VDTCORLogSourceMetrics::Counter& counter) {
  platform::Value::Dictionary outer;
  for (const auto& [mappingID, reasons] : counter) {
    platform::Value::Dictionary inner;
    for (const auto& [reason, count] : reasons) inner[std::to_string(reason)] = platform::Value(count);
    outer[mappingID] = platform::Value(std::move(inner));
  }
  return platform::Value(std::move(outer));
}

// A dictionary archived as the platform's own, with keys of any kind: the reasons are numbers.
class ArchivedDictionary final : public platform::Codable {
 public:
  void add(platform::ArchiveObject key, platform::ArchiveObject value) {
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
  }
  std::string className() const override { return std::string(platform::ArchiveClass::kDictionary); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObjectReferences(keys_, "NS.keys");
    coder.encodeObjectReferences(values_, "NS.objects");
  }

 private:
  std::vector<platform::ArchiveObject> keys_;
  std::vector<platform::ArchiveObject> values_;
};

}  // namespace

std::string VDTCORLogSourceMetrics::description() const {
  return platform::format("<VDTCORLogSourceMetrics: %p> %@", static_cast<const void*>(this), counterValue(counter_));
}

void VDTCORLogSourceMetrics::encodeWithCoder(platform::KeyedArchiver& coder) const {
  auto outer = std::make_shared<ArchivedDictionary>();
  for (const auto& [mappingID, reasons] : counter_) {
    auto inner = std::make_shared<ArchivedDictionary>();
    for (const auto& [reason, count] : reasons) inner->add(platform::Value(reason), platform::Value(count));
    outer->add(platform::Value(mappingID), platform::ArchiveObject(std::shared_ptr<platform::Codable>(inner)));
  }
  coder.encodeObject(std::shared_ptr<const platform::Codable>(outer), kVDTCORDroppedEventCounterByLogSourceKey);
}

std::shared_ptr<VDTCORLogSourceMetrics> VDTCORLogSourceMetrics::initWithCoder(platform::KeyedUnarchiver& coder) {
  using namespace platform::ArchiveClass;
  const platform::Value value =
      coder.decodeObjectOfClasses({std::string(kDictionary), std::string(kString), std::string(kNumber)},
                                  kVDTCORDroppedEventCounterByLogSourceKey)
          .value();
  const auto* outer = value.ifDictionary();
  if (!outer) return nullptr;
  Counter counter;
  for (const auto& [mappingID, reasonsValue] : *outer) {
    const auto* reasons = reasonsValue.ifDictionary();
    if (!reasons) return nullptr;
    auto& into = counter[mappingID];
    // Reasons are archived as numbers; archives of earlier builds hold them as decimal strings.
    // Both read back as decimal text.
    for (const auto& [reasonText, count] : *reasons) {
      VDTCOREventDropReason reason = 0;
      const char* end = reasonText.data() + reasonText.size();
      if (auto [p, ec] = std::from_chars(reasonText.data(), end, reason); ec != std::errc() || p != end) return nullptr;
      if (!count.isNumber()) return nullptr;
      into[reason] = count.integerValue();
    }
  }
  return std::make_shared<VDTCORLogSourceMetrics>(std::move(counter));
}
