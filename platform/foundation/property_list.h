// Property lists, XML and binary, to and from Value.
#pragma once

#include <optional>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform::PropertyList {

enum class Format { XML, Binary };

// An object reference of a keyed archive (a UID) reads as the dictionary {kUIDKey: number}.
inline constexpr std::string_view kUIDKey = "$uid";

// Reads either format (detected from the bytes). Corrupt input gives an Error (Cocoa domain,
// code 3840), never a crash.
std::optional<Value> read(const Data& bytes, Error* error = nullptr, Format* detected = nullptr);
// Null values cannot be written and give an Error.
std::optional<Data> write(const Value& value, Format format, Error* error = nullptr);

}  // namespace platform::PropertyList
