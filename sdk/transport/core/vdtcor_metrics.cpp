#include "sdk/transport/core/vdtcor_metrics.h"

#include <functional>

#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics_metadata.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"

VDTCORMetrics::VDTCORMetrics(platform::Date collectionStartDate, platform::Date collectionEndDate,
                             std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics, std::uint64_t currentCacheSize,
                             std::uint64_t maxCacheSize, std::string bundleID)
    : collectionStartDate_(collectionStartDate),
      collectionEndDate_(collectionEndDate),
      logSourceMetrics_(logSourceMetrics ? std::move(logSourceMetrics) : VDTCORLogSourceMetrics::metrics()),
      currentCacheSize_(currentCacheSize),
      maxCacheSize_(maxCacheSize),
      bundleID_(std::move(bundleID)) {}

std::shared_ptr<VDTCORMetrics> VDTCORMetrics::metricsWithMetricsMetadata(const VDTCORMetricsMetadata& metricsMetadata,
                                                                         const VDTCORStorageMetadata& storageMetadata) {
  std::string bundleID;
  if (auto bundle = platform::Bundle::main()) bundleID = bundle->bundleIdentifier();
  return std::make_shared<VDTCORMetrics>(metricsMetadata.collectionStartDate(), platform::Date::now(),
                                         metricsMetadata.logSourceMetrics(), storageMetadata.currentCacheSize,
                                         storageMetadata.maxCacheSize, std::move(bundleID));
}

bool VDTCORMetrics::isEqualToMetrics(const VDTCORMetrics& other) const {
  return collectionStartDate_ == other.collectionStartDate_ && collectionEndDate_ == other.collectionEndDate_ &&
         logSourceMetrics_->isEqualToLogSourceMetrics(*other.logSourceMetrics_) &&
         currentCacheSize_ == other.currentCacheSize_ && maxCacheSize_ == other.maxCacheSize_ &&
         bundleID_ == other.bundleID_;
}

std::size_t VDTCORMetrics::hash() const {
  std::hash<double> hd;
  std::hash<std::uint64_t> hu;
  return hd(collectionStartDate_.timeIntervalSince1970()) ^ hd(collectionEndDate_.timeIntervalSince1970()) ^
         logSourceMetrics_->hash() ^ hu(currentCacheSize_) ^ hu(maxCacheSize_) ^ std::hash<std::string>{}(bundleID_);
}

std::string VDTCORMetrics::description() const {
  return platform::format(
      "%@ {\n\tcollectionStartDate: %@,\n\tcollectionEndDate: %@,\n\tcurrentCacheSize: %llu,\n\tmaxCacheSize: "
      "%llu,\n\tbundleID: %@,\n\tlogSourceMetrics: %@}\n",
      platform::format("<VDTCORMetrics: %p>", static_cast<const void*>(this)), collectionStartDate_.description(),
      collectionEndDate_.description(), currentCacheSize_, maxCacheSize_, bundleID_, logSourceMetrics_->description());
}
