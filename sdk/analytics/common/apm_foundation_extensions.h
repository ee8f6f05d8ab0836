// Extensions of the platform's data, dictionary and string classes used across the engine:
// digests for identifiers and fingerprints, query strings and UTF-32 measures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"

// Data (grouped with the gzip extension under its category name).
namespace VULGzip {
platform::Data apm_MD5Data(const platform::Data& data);
// The last 8 bytes as a big-endian integer; shorter data is read right-aligned.
std::int64_t apm_64LeastSignificantBits(const platform::Data& data);
// The metadata fingerprint of events and bundles.
std::int64_t apm_64LSBMD5(const platform::Data& data);
}  // namespace VULGzip

namespace APMNSDictionaryQuery {
// "key=value" pairs, each side percent-encoded for a URL query, joined by "&" in the given order.
std::string apm_queryString(const std::vector<std::pair<std::string, platform::Value>>& entries);
std::string apm_queryString(const platform::Value::Dictionary& dictionary);
// The first occurrence of a repeated key wins; a part without "=" has the value "".
platform::Value::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view string);
}  // namespace APMNSDictionaryQuery

namespace APMD5Additions {
// 32 lower-case hexadecimal digits; nothing when the string is not valid UTF-8.
std::optional<std::string> apm_MD5String(std::string_view string);
// "+" as blank, then percent-decoding; nothing when that fails.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view string);
// The number of Unicode code points.
std::size_t apm_UTF32Length(std::string_view string);
// Copies whole code points as UTF-32 little-endian, at most `maxBytes`; answers the bytes written.
std::size_t apm_getUTF32Bytes(std::string_view string, std::uint8_t* buffer, std::size_t maxBytes);
}  // namespace APMD5Additions
