#include "tools/local-service/measurement_config_fixture.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "tools/local-service/wire_format.h"

namespace local_service {

namespace {

using nlohmann::json;

// A fixture error: its text says where.
struct FixtureError {
  std::string what;
};

void writeFixed64Field(std::string& out, std::uint32_t number, double value) {
  writeVarint(out, (static_cast<std::uint64_t>(number) << 3) | 1);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

std::int64_t integer(const json& node, const char* where) {
  if (!node.is_number_integer()) throw FixtureError{std::string(where) + " must be an integer"};
  return node.get<std::int64_t>();
}

std::string text(const json& node, const char* where) {
  if (!node.is_string()) throw FixtureError{std::string(where) + " must be a string"};
  return node.get<std::string>();
}

std::uint64_t enumValue(const json& node, const std::map<std::string, int>& names, const char* where) {
  if (node.is_number_integer()) return node.get<std::uint64_t>();
  if (node.is_string()) {
    const auto it = names.find(node.get<std::string>());
    if (it != names.end()) return static_cast<std::uint64_t>(it->second);
  }
  throw FixtureError{std::string(where) + " names no known value"};
}

// Interpreter entities: a string, number or boolean literal, {"num": "text"} for numbers JSON
// cannot spell (-0), or a statement ["function", arguments...].
std::string entity(const json& node) {
  std::string out;
  if (node.is_string()) {
    writeVarintField(out, 1, 1);
    writeBytesField(out, 4, node.get<std::string>());
  } else if (node.is_boolean()) {
    writeVarintField(out, 1, 3);
    writeVarintField(out, 5, node.get<bool>() ? 1 : 0);
  } else if (node.is_number()) {
    writeVarintField(out, 1, 2);
    writeFixed64Field(out, 6, node.get<double>());
  } else if (node.is_object() && node.contains("num")) {
    const std::string number = text(node["num"], "num");
    writeVarintField(out, 1, 2);
    writeFixed64Field(out, 6, number == "-0" ? -0.0 : std::strtod(number.c_str(), nullptr));
  } else if (node.is_array() && !node.empty()) {
    writeVarintField(out, 1, 4);
    for (std::size_t i = 1; i < node.size(); ++i) writeBytesField(out, 2, entity(node[i]));
    writeBytesField(out, 3, text(node[0], "a statement's function"));
  } else {
    throw FixtureError{"a program entity must be a literal or a statement array"};
  }
  return out;
}

std::string program(const json& node) {
  std::string out;
  for (const json& statement : node.value("statements", json::array())) writeBytesField(out, 1, entity(statement));
  std::string activities;
  for (const json& activity : node.value("activities", json::array())) {
    std::string item;
    writeBytesField(item, 1, text(activity.value("name", json()), "an activity's name"));
    for (const json& rule : activity.value("rules", json::array())) writeBytesField(item, 2, entity(rule));
    writeBytesField(activities, 1, item);
  }
  writeBytesField(out, 2, activities);
  return out;
}

const std::map<std::string, int> kComparisons = {{"LESS_THAN", 1}, {"GREATER_THAN", 2}, {"EQUAL", 3}, {"BETWEEN", 4}};
const std::map<std::string, int> kMatches = {{"REGEXP", 1},   {"BEGINS_WITH", 2}, {"ENDS_WITH", 3},
                                             {"CONTAINS", 4}, {"EXACT", 5},       {"IN_LIST", 6}};

std::string numberFilter(const json& node) {
  std::string out;
  writeVarintField(out, 1, enumValue(node.value("comparison", json()), kComparisons, "a comparison"));
  if (node.value("as_float", false)) writeVarintField(out, 2, 1);
  if (node.contains("value")) writeBytesField(out, 3, text(node["value"], "a comparison value"));
  if (node.contains("min")) writeBytesField(out, 4, text(node["min"], "a minimum"));
  if (node.contains("max")) writeBytesField(out, 5, text(node["max"], "a maximum"));
  return out;
}

std::string stringFilter(const json& node) {
  std::string out;
  writeVarintField(out, 1, enumValue(node.value("match", json()), kMatches, "a match type"));
  if (node.contains("expression")) writeBytesField(out, 2, text(node["expression"], "an expression"));
  if (node.value("case_sensitive", false)) writeVarintField(out, 3, 1);
  for (const json& item : node.value("list", json::array())) writeBytesField(out, 4, text(item, "a list item"));
  return out;
}

// A filter: {"string": {...}} or {"number": {...}}, optionally "param" and "complement".
std::string filter(const json& node) {
  std::string out;
  if (node.contains("string")) writeBytesField(out, 1, stringFilter(node["string"]));
  if (node.contains("number")) writeBytesField(out, 2, numberFilter(node["number"]));
  if (node.value("complement", false)) writeVarintField(out, 3, 1);
  if (node.contains("param")) writeBytesField(out, 4, text(node["param"], "a parameter name"));
  return out;
}

void flags(std::string& out, const json& node, std::uint32_t first) {
  if (node.value("dynamic", false)) writeVarintField(out, first, 1);
  if (node.value("sequence", false)) writeVarintField(out, first + 1, 1);
  if (node.value("session_scoped", false)) writeVarintField(out, first + 2, 1);
}

std::string audience(const json& node) {
  std::string out;
  writeVarintField(out, 1, static_cast<std::uint64_t>(integer(node.value("id", json()), "an audience id")));
  for (const json& item : node.value("property_filters", json::array())) {
    std::string property;
    writeVarintField(property, 1, static_cast<std::uint64_t>(integer(item.value("id", json()), "a filter id")));
    writeBytesField(property, 2, text(item.value("property_name", json()), "a property name"));
    writeBytesField(property, 3, filter(item));
    flags(property, item, 4);
    writeBytesField(out, 2, property);
  }
  for (const json& item : node.value("event_filters", json::array())) {
    std::string event;
    writeVarintField(event, 1, static_cast<std::uint64_t>(integer(item.value("id", json()), "a filter id")));
    writeBytesField(event, 2, text(item.value("event_name", json()), "an event name"));
    for (const json& parameter : item.value("params", json::array())) writeBytesField(event, 3, filter(parameter));
    if (item.contains("count")) writeBytesField(event, 5, numberFilter(item["count"]));
    flags(event, item, 6);
    writeBytesField(out, 3, event);
  }
  return out;
}

std::string encode(const json& root, const std::string& appID) {
  if (!root.is_object()) throw FixtureError{"the fixture must be an object"};
  std::string out;
  if (root.contains("version")) {
    writeVarintField(out, 1, static_cast<std::uint64_t>(integer(root["version"], "version")));
  }
  writeBytesField(out, 2, appID);
  const json settings = root.value("settings", json::object());
  for (const auto& [name, value] : settings.items()) {
    std::string setting;
    writeBytesField(setting, 1, name);
    writeBytesField(setting, 2, value.is_string() ? value.get<std::string>() : value.dump());
    writeBytesField(out, 4, setting);
  }
  for (const json& item : root.value("event_configs", json::array())) {
    std::string config;
    writeBytesField(config, 1, text(item.value("name", json()), "an event configuration's name"));
    if (item.value("blocklisted", false)) writeVarintField(config, 2, 1);
    if (item.value("custom_conversion", false)) writeVarintField(config, 3, 1);
    if (item.contains("sampling_rate")) {
      writeVarintField(config, 4, static_cast<std::uint64_t>(integer(item["sampling_rate"], "a sampling rate")));
    }
    writeBytesField(out, 5, config);
  }
  for (const json& item : root.value("audiences", json::array())) writeBytesField(out, 6, audience(item));
  for (const json& item : root.value("programs", json::array())) writeBytesField(out, 9, program(item));
  for (const json& item : root.value("data_controls", json::array())) {
    std::string control;
    writeBytesField(control, 1, text(item, "a data control"));
    writeBytesField(out, 10, control);
  }
  if (root.contains("upload_subdomain")) writeBytesField(out, 11, text(root["upload_subdomain"], "upload_subdomain"));
  return out;
}

}  // namespace

std::optional<std::string> encodeMeasurementConfig(std::string_view text, const std::string& appID,
                                                   std::string& error) {
  const json root = json::parse(text, nullptr, false);
  if (root.is_discarded()) {
    error = "the fixture is not JSON";
    return std::nullopt;
  }
  try {
    return encode(root, appID);
  } catch (const FixtureError& failure) {
    error = failure.what;
  } catch (const json::exception& failure) {
    error = failure.what();
  }
  return std::nullopt;
}

std::string defaultMeasurementConfigFixturePath() {
  const char* source = std::getenv("FOCUS_SOURCE_DIR");
  return std::string(source && *source ? source : FOCUS_LOCAL_SERVICE_SOURCE_DIR) +
         "/tools/local-service/fixtures/measurement_config.json";
}

}  // namespace local_service
