// Names and parameters as log lines show them. In debug mode, with the analytics facade present,
// an internal name is printed with its public name ("screen_view (_vs)"), so that a developer
// recognises what the engine logs; otherwise names print as they are. Only log text changes.
#pragma once

#include <string>

#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_object.h"

std::string APMNameForLog(const APMObject& name, const APMNameTable& publicToInternal);
std::string APMEventNameForLog(const APMObject& name);
std::string APMParameterNameForLog(const APMObject& name);
// Experiment properties ("_exp_…") print as experiment identifiers whatever the mode.
std::string APMUserPropertyNameForLog(const APMObject& name);
// In debug mode a dictionary prints one "name = value;" line per entry, sorted without regard to
// case, with names for log and "_err" codes named; otherwise the object's description.
std::string APMParametersForLog(const APMObject& parameters);
