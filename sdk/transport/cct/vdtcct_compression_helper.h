// Gzip of upload bodies.
#pragma once

#include <optional>

#include "platform/foundation/value.h"

class VDTCCTCompressionHelper {
 public:
  // Gzip (default level, gzip header and trailer); none for empty or oversized data or a zlib error.
  static std::optional<platform::Data> gzippedData(const platform::Data& data);
  // At least two bytes, 0x1f then 0x8b.
  static bool isGzipped(const platform::Data& data);
};
