#include "sdk/transport/core/vdtcor_metrics_metadata.h"

#include <functional>

#include "platform/foundation/format.h"
#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"

VDTCORMetricsMetadata::VDTCORMetricsMetadata(platform::Date collectionStartDate,
                                             std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics)
    : collectionStartDate_(collectionStartDate),
      logSourceMetrics_(logSourceMetrics ? std::move(logSourceMetrics) : VDTCORLogSourceMetrics::metrics()) {}

std::shared_ptr<VDTCORMetricsMetadata> VDTCORMetricsMetadata::metadataWithCollectionStartDate(
    platform::Date collectionStartDate, std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics) {
  return std::make_shared<VDTCORMetricsMetadata>(collectionStartDate, std::move(logSourceMetrics));
}

bool VDTCORMetricsMetadata::isEqualToMetricsMetadata(const VDTCORMetricsMetadata& other) const {
  return collectionStartDate_ == other.collectionStartDate_ &&
         logSourceMetrics_->isEqualToLogSourceMetrics(*other.logSourceMetrics_);
}

std::size_t VDTCORMetricsMetadata::hash() const {
  return std::hash<double>{}(collectionStartDate_.timeIntervalSince1970()) ^ logSourceMetrics_->hash();
}

std::string VDTCORMetricsMetadata::description() const {
  return platform::format("<VDTCORMetricsMetadata collectionStartDate:%@ logSourceMetrics:%@>",
                          collectionStartDate_.description(), logSourceMetrics_->description());
}

void VDTCORMetricsMetadata::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(platform::Value(collectionStartDate_), kVDTCORMetricsMetadataCollectionStartDateKey);
  coder.encodeObject(std::static_pointer_cast<const platform::Codable>(logSourceMetrics_),
                     kVDTCORMetricsMetadataLogSourceMetricsKey);
}

std::shared_ptr<VDTCORMetricsMetadata> VDTCORMetricsMetadata::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto start = coder.decodeDateForKey(kVDTCORMetricsMetadataCollectionStartDateKey);
  auto metrics = coder.decodeObjectOfClass<VDTCORLogSourceMetrics>(kVDTCORLogSourceMetricsClassName,
                                                                   kVDTCORMetricsMetadataLogSourceMetricsKey);
  if (!start || !metrics) return nullptr;
  return std::make_shared<VDTCORMetricsMetadata>(*start, std::move(metrics));
}
