// JSON to and from Value: `true` is a bool, `1` an integer, `1.0` a double.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform::JSON {

// Invalid JSON gives an Error (Cocoa domain, code 3840), never a crash.
std::optional<Value> parse(std::string_view text, Error* error = nullptr);
std::optional<Value> parse(const Data& bytes, Error* error = nullptr);
// Data and dates are not JSON values and give an Error; `sortedKeys` is always true (keys are ordered).
std::optional<std::string> serialize(const Value& value, bool pretty = false, Error* error = nullptr);

}  // namespace platform::JSON
