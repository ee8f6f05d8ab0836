// Gzip of data in memory over zlib: compression writes the gzip format, expansion reads gzip or
// zlib-wrapped data (the header is detected). Empty input gives no data and no error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

inline constexpr std::string_view kVULNSDataZlibErrorDomain = "com.videzu.VULNSDataZlibErrorDomain";
inline constexpr std::string_view kVULNSDataZlibErrorKey = "VULNSDataZlibErrorKey";
inline constexpr std::string_view kVULNSDataZlibRemainingBytesKey = "VULNSDataZlibRemainingBytesKey";

// Input longer than 4,294,967,295 bytes (compression only).
inline constexpr std::int64_t VULNSDataZlibErrorGreaterThan32BitsToCompress = 1024;
// zlib failed; the user info holds its status (and, when inflating, its message).
inline constexpr std::int64_t VULNSDataZlibErrorInternal = 1025;
// The gzip stream ended before the input did; the user info holds the count left over.
inline constexpr std::int64_t VULNSDataZlibErrorDataRemaining = 1026;
// The expanded data would be longer than the caller's limit.
inline constexpr std::int64_t VULNSDataZlibErrorGreaterThanLimitToInflate = 1027;

// A few kilobytes of input can expand to gigabytes: expansion stops here unless the caller says
// otherwise. The same as the largest response body the platform accepts.
inline constexpr std::size_t kVULGzipDefaultInflateLimit = 64u << 20;

namespace VULGzip {

std::optional<platform::Data> vul_dataByGzippingData(const platform::Data& data, platform::Error* error = nullptr);
// Expanded data longer than `maximumLength` bytes is an error (1027), found before more than that
// is held.
std::optional<platform::Data> vul_dataByInflatingGzippedData(const platform::Data& data,
                                                             platform::Error* error = nullptr,
                                                             std::size_t maximumLength = kVULGzipDefaultInflateLimit);

}  // namespace VULGzip
