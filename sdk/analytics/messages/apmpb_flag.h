// Reading and making experiment flags (the Flag message: 0 name, 1 int64, 2 string, 3 double,
// 4 bool value).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/analytics/messages/apmpb_messages.h"

// The flag's value: its int64, else double, else string, else bool value; null when it has none.
platform::Value APMPBFlagValue(const APMPBFlag* flag);
// A flag of a string name and a number or string value; nothing (after a monitor line) otherwise.
std::shared_ptr<APMPBFlag> APMPBFlagFromNameAndValue(const platform::Value& name, const platform::Value& value);

// Where the flag functions report bad input: the experiment component's monitor, which sits
// above this layer and installs itself here. Until then the lines go to the system log.
using APMPBFlagMonitor =
    std::function<void(std::int32_t level, std::int32_t code, std::string_view message, const platform::Value& context)>;
void APMPBSetFlagMonitor(APMPBFlagMonitor monitor);
