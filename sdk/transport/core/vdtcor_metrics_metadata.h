// The persisted collection window of dropped-event counts: when it started and what it counted.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/foundation/keyed_archive.h"

class VDTCORLogSourceMetrics;

inline constexpr std::string_view kVDTCORMetricsMetadataClassName = "VDTCORMetricsMetadata";
inline constexpr std::string_view kVDTCORMetricsMetadataCollectionStartDateKey = "collectionStartDate";
inline constexpr std::string_view kVDTCORMetricsMetadataLogSourceMetricsKey = "logSourceMetrics";

class VDTCORMetricsMetadata final : public platform::Codable {
 public:
  VDTCORMetricsMetadata(platform::Date collectionStartDate, std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics);

  static std::shared_ptr<VDTCORMetricsMetadata> metadataWithCollectionStartDate(
      platform::Date collectionStartDate, std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics);

  platform::Date collectionStartDate() const { return collectionStartDate_; }
  // Never null.
  const std::shared_ptr<VDTCORLogSourceMetrics>& logSourceMetrics() const { return logSourceMetrics_; }

  bool isEqualToMetricsMetadata(const VDTCORMetricsMetadata& other) const;
  std::size_t hash() const;
  std::string description() const;

  std::string className() const override { return std::string(kVDTCORMetricsMetadataClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // Null when either key is missing or holds another class.
  static std::shared_ptr<VDTCORMetricsMetadata> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  platform::Date collectionStartDate_;
  std::shared_ptr<VDTCORLogSourceMetrics> logSourceMetrics_;
};
