// Reads record files back at launch: one JSON object per line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

// The most of one record file read back at launch; what lies beyond is left unread, so a cut
// last line is skipped like any line that does not parse.
inline constexpr std::uint64_t kRLZMaxRecordFileBytes = std::uint64_t{8} << 20;

using RLZSectionTransform = std::function<std::optional<platform::Value>(const platform::Value& section)>;

// The objects of the file's lines in file order; a line that does not parse (a cut-off last
// line, a line with bytes that are not UTF-8) is skipped and the rest kept. Nullopt when the file
// cannot be read or is not a regular file (a link, a FIFO), after deleting it when
// `deleteOnFailure`. A transform replaces each object and
// drops it by answering nullopt.
std::optional<platform::Value::Array> RLZFileReadSections(const char* path, bool deleteOnFailure,
                                                          const RLZSectionTransform& transform = nullptr);
// Hex pairs from the start up to the first pair that is not hex; the bytes up to the first zero
// as text, or nullopt when they are not UTF-8.
std::optional<std::string> RLZFileHexDecodeString(const char* hex);
