// The storage's size and its limit, as the dropped-event metrics report them.
#pragma once

#include <cstdint>

struct VDTCORStorageMetadata {
  std::uint64_t currentCacheSize = 0;
  std::uint64_t maxCacheSize = 0;

  static VDTCORStorageMetadata metadataWithCurrentCacheSize(std::uint64_t currentCacheSize, std::uint64_t maxCacheSize) {
    return VDTCORStorageMetadata{currentCacheSize, maxCacheSize};
  }
  friend bool operator==(const VDTCORStorageMetadata&, const VDTCORStorageMetadata&) = default;
};
