// Stored event messages read back: the parameter conversion to `APMValue`s that checks a stored
// event is whole before the engine gets it, and the field helpers the table operations share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_object.h"

class APMPBEvent;
class APMPBEventParam;
class NANOMessageBase;

// One parameter as name -> value. A top-level parameter needs a name; its nested parameters make
// an array value of their dictionaries.
std::optional<APMDictionary> APMParametersFromEventParam(const APMPBEventParam* param, bool nested,
                                                         platform::Error* error);

// The field index of a wire tag in a message's schema.
std::int32_t APMFieldIndex(const NANOMessageBase& message, std::uint32_t tag);

// An event message parsed from stored bytes; nothing (code 2) when the value is not data or the
// bytes are not an event.
std::shared_ptr<APMPBEvent> APMEventFromStoredValue(const platform::Value& value, platform::Error* error);
