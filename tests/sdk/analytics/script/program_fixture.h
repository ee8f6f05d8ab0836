// Event-editing programs as wire messages: entity trees from their JSON form (as in
// script_fixture.h) turned into `APMPBRuntimeEntity` messages, and the named programs of the
// committed table (tools/interpreter-tables/editing_programs.js) encoded and decoded again.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/foundation/json.h"
#include "sdk/analytics/messages/nano_accessors.h"

inline std::shared_ptr<APMPBRuntimeEntity> entityMessageFromJSON(const platform::Value& node) {
  auto entity = APMPBRuntimeEntity::initWithMessageInfo();
  if (node.isString()) {
    NANOSetInt32(entity.get(), 0, 1);
    NANOSetString(entity.get(), 3, node.stringValue());
  } else if (node.isBool()) {
    NANOSetInt32(entity.get(), 0, 3);
    NANOSetBool(entity.get(), 4, node.boolValue());
  } else if (node.isNumber()) {
    NANOSetInt32(entity.get(), 0, 2);
    NANOSetDouble(entity.get(), 5, node.doubleValue());
  } else if (const auto* special = node.ifDictionary()) {
    const std::string text = special->at("num").stringValue();
    NANOSetInt32(entity.get(), 0, 2);
    NANOSetDouble(entity.get(), 5, text == "-0" ? -0.0 : std::strtod(text.c_str(), nullptr));
  } else {
    const auto& array = node.arrayOrEmpty();
    NANOSetInt32(entity.get(), 0, 4);
    NANOSetString(entity.get(), 2, array.at(0).stringValue());
    std::vector<std::shared_ptr<APMPBRuntimeEntity>> arguments;
    for (std::size_t i = 1; i < array.size(); ++i) arguments.push_back(entityMessageFromJSON(array[i]));
    NANOSetArray(entity.get(), 1, arguments);
  }
  return entity;
}

inline std::vector<std::shared_ptr<APMPBRuntimeEntity>> entityMessagesFromJSON(const platform::Value& nodes) {
  std::vector<std::shared_ptr<APMPBRuntimeEntity>> entities;
  for (const platform::Value& node : nodes.arrayOrEmpty()) entities.push_back(entityMessageFromJSON(node));
  return entities;
}

// `{"statements": [...], "activities": [{"name": ..., "rules": [...]}]}` as the bytes a server
// sends, decoded.
inline std::shared_ptr<APMPBProgram> programMessageFromJSON(const platform::Value& program) {
  auto message = APMPBProgram::initWithMessageInfo();
  NANOSetArray(message.get(), 0, entityMessagesFromJSON(program["statements"]));
  auto activities = APMPBOgtActivities::initWithMessageInfo();
  std::vector<std::shared_ptr<APMPBOgtActivity>> list;
  for (const platform::Value& activity : program["activities"].arrayOrEmpty()) {
    auto item = APMPBOgtActivity::initWithMessageInfo();
    NANOSetString(item.get(), 0, activity["name"].stringValue());
    NANOSetArray(item.get(), 1, entityMessagesFromJSON(activity["rules"]));
    list.push_back(item);
  }
  NANOSetArray(activities.get(), 0, list);
  NANOSetMessage(message.get(), 1, activities.get());
  const auto bytes = message->protoBuffer();
  return bytes ? APMPBProgram::initWithBuffer(*bytes) : nullptr;
}

inline std::shared_ptr<APMPBProgram> editingProgramNamed(const std::string& name) {
  static const platform::Value table = [] {
    const char* source = std::getenv("FOCUS_SOURCE_DIR");
    std::ifstream in(std::filesystem::path(source ? source : ".") /
                     "tests/sdk/analytics/script/tables/editing_programs.json");
    std::stringstream text;
    text << in.rdbuf();
    return platform::JSON::parse(text.str()).value_or(platform::Value());
  }();
  return programMessageFromJSON(table[name]);
}
