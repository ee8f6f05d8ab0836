// Matching one audience filter against one event or user property. An outcome is YES, NO or
// nothing; nothing means the filter could not be evaluated and leaves its stored result alone.
// A regular expression that cannot finish in its time gives nothing too, never NO: with
// `complement` set, NO would turn into a match.
//
// Regular expressions go through `patterns`, the audience engine's, when given: compiled once and
// metered across one evaluation. Without it, each call compiles what it needs and has a budget of
// its own; the functions then keep no state and are safe on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_object.h"
#include "sdk/analytics/messages/apmpb_messages.h"

class APMAudiencePatterns;
class APMEventAggregates;
class APMUserAttribute;

using APMFilterOutcome = std::optional<bool>;

APMFilterOutcome APMEvaluateEventFilter(const APMPBEventFilter* filter, const std::string& eventName,
                                        const APMDictionary& parameters, const APMEventAggregates* aggregates,
                                        APMAudiencePatterns* patterns = nullptr);
APMFilterOutcome APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter, const APMUserAttribute* property,
                                           APMAudiencePatterns* patterns = nullptr);
APMFilterOutcome APMEvaluateFilter(const APMPBFilter& filter, const APMValuePtr& value,
                                   APMAudiencePatterns* patterns = nullptr);
APMFilterOutcome APMEvaluateStringFilter(const APMPBStringFilter& filter, const std::string* string,
                                         APMAudiencePatterns* patterns = nullptr);
APMFilterOutcome APMEvaluateNumberFilterWithDouble(const APMPBNumberFilter& filter, double value);
APMFilterOutcome APMEvaluateNumberFilterWithInt64(const APMPBNumberFilter& filter, std::int64_t value);
APMFilterOutcome APMEvaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter, const APMDecimal& value);

// A comparison string of a number filter as a double, read as the en_US number formatter with
// positive format "'+'#" reads it (one leading "+" allowed, "." the decimal point).
std::optional<double> APMAudienceDoubleFromString(const std::string& string);

// The user property of a bundle as the evaluation sees it; nothing without a value.
std::shared_ptr<const APMUserAttribute> APMUserAttributeFromNanoProperty(const APMPBUserAttribute& property);
