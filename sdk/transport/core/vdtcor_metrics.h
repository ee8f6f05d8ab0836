// A snapshot of the dropped-event counts taken for one upload, with the storage's sizes and the
// app's bundle identifier.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/date.h"

class VDTCORLogSourceMetrics;
class VDTCORMetricsMetadata;
struct VDTCORStorageMetadata;

class VDTCORMetrics {
 public:
  VDTCORMetrics(platform::Date collectionStartDate, platform::Date collectionEndDate,
                std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics, std::uint64_t currentCacheSize,
                std::uint64_t maxCacheSize, std::string bundleID);

  // Ends the window now; the bundle ID is the main bundle's ("" when it has none).
  static std::shared_ptr<VDTCORMetrics> metricsWithMetricsMetadata(const VDTCORMetricsMetadata& metricsMetadata,
                                                                   const VDTCORStorageMetadata& storageMetadata);

  platform::Date collectionStartDate() const { return collectionStartDate_; }
  platform::Date collectionEndDate() const { return collectionEndDate_; }
  // Never null.
  const std::shared_ptr<VDTCORLogSourceMetrics>& logSourceMetrics() const { return logSourceMetrics_; }
  std::uint64_t currentCacheSize() const { return currentCacheSize_; }
  std::uint64_t maxCacheSize() const { return maxCacheSize_; }
  const std::string& bundleID() const { return bundleID_; }

  bool isEqualToMetrics(const VDTCORMetrics& other) const;
  std::size_t hash() const;
  std::string description() const;

 private:
  platform::Date collectionStartDate_;
  platform::Date collectionEndDate_;
  std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics_;
  std::uint64_t currentCacheSize_;
  std::uint64_t maxCacheSize_;
  std::string bundleID_;
};
