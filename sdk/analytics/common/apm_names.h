// The name tables of the engine: reserved public names of events, event parameters and user
// properties mapped to the short internal names used on the wire, and the name sets that the
// validator and the engine consult. Built once on first use; immutable afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

using APMNameTable = std::map<std::string, std::string, std::less<>>;

const APMNameTable& APMPublicToInternalUserPropertyNames();
const APMNameTable& APMPublicToInternalParameterNames();
const APMNameTable& APMPublicToInternalEventNames();
// Internal name to public name; "_cmp", which has two, maps back to "vuduzara_campaign".
const APMNameTable& APMInternalToPublicEventNames();
// The reserved public event names an application may still log.
const APMNameTable& APMAllowedReservedEventNames();

bool APMIsEcommerceEventName(std::string_view name);
bool APMIsItemParameterName(std::string_view name);
bool APMIsDefaultConversionEventName(std::string_view name);
// The name of an "_err" code for log text, or nothing for codes without one.
std::optional<std::string> APMErrorCodeName(std::int64_t code);

// Looks `name` up in `table`, answering the name itself when absent.
std::string APMLookUpName(const APMNameTable& table, std::string_view name);
