// Builds entity trees from their JSON form (statements as ["opcode", argument...], literals as
// JSON strings, numbers and booleans, {"num": "NaN"} for other numbers), runs them in a fresh
// heap, and prints values in the tagged form the differential table uses.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/json.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"

inline APMPValuePtr entityFromJSON(const platform::Value& node) {
  if (node.isString()) return APMPStringValue::make(APMPText(node.stringValue()));
  if (node.isBool()) return APMPBooleanValue::booleanValueWithBool(node.boolValue());
  if (node.isNumber()) return APMPNumberValue::make(node.doubleValue());
  if (const auto* dictionary = node.ifDictionary()) {
    const std::string text = dictionary->at("num").stringValue();
    if (text == "NaN") return APMPNumberValue::make(std::numeric_limits<double>::quiet_NaN());
    if (text == "-0") return APMPNumberValue::make(-0.0);
    return APMPNumberValue::make(text == "Infinity" ? INFINITY : -INFINITY);
  }
  const auto& array = node.arrayOrEmpty();
  APMPArguments arguments;
  for (std::size_t i = 1; i < array.size(); ++i) arguments.push_back(entityFromJSON(array[i]));
  return APMPStatementValue::initWithFunctionName(APMPText(array.at(0).stringValue()), std::move(arguments));
}

inline APMPArguments programFromJSON(const std::string& json) {
  const auto parsed = platform::JSON::parse(json);
  APMPArguments statements;
  for (const platform::Value& node : parsed->arrayOrEmpty()) statements.push_back(entityFromJSON(node));
  return statements;
}

inline std::string tagged(const APMPValuePtr& value) {
  using Kind = APMPRuntimeValue::Kind;
  switch (value->kind()) {
    case Kind::Undefined: return "undefined";
    case Kind::Null: return "null";
    case Kind::Boolean: return std::string("boolean:") + (value->booleanValueOrError(nullptr) ? "true" : "false");
    case Kind::Number: {
      const double d = value->doubleValueOrError(nullptr);
      return "number:" + (d == 0 && std::signbit(d) ? std::string("-0") : APMPUTF8(APMPNumberToText(d)));
    }
    case Kind::String: return "string:" + APMPUTF8(value->stringValueOrError(nullptr));
    case Kind::Function: return "function:" + APMPUTF8(value->stringValueOrError(nullptr));
    case Kind::Array: {
      std::string out = "array:[";
      const auto& slots = static_cast<const APMPArrayValue&>(*value).slots();
      for (std::size_t i = 0; i < slots.size(); ++i) {
        out += (i ? "," : "") + (APMPArrayValue::isHole(slots[i]) ? std::string("hole") : tagged(slots[i]));
      }
      return out + "]";
    }
    case Kind::Map: {
      const auto& map = static_cast<const APMPMapValue&>(*value);
      std::string out = "object:{";
      bool first = true;
      for (const APMPString& name : map.allPropertyNames()) {
        out += (first ? "" : ",") + APMPUTF8(name) + "=" + tagged(map.valueForProperty(name));
        first = false;
      }
      return out + "}";
    }
    default: return "other";
  }
}

class ScriptTest : public ::testing::Test {
 protected:
  // Runs top-level statements in the global scope; a return hands back its value. An error
  // gives "error:<code>".
  std::string run(const std::string& json) { return runProgram(programFromJSON(json)); }

  std::string runProgram(const APMPArguments& program) {
    error = platform::Error();
    APMPValuePtr result = APMPEvaluator::executeStatements(program, global, &error);
    if (error) return "error:" + std::to_string(error.code());
    if (result->kind() == APMPRuntimeValue::Kind::Control) {
      result = static_cast<const APMPControlValue&>(*result).data();
    }
    return tagged(result);
  }

  APMPValuePtr evaluate(const std::string& json) {
    error = platform::Error();
    const auto parsed = platform::JSON::parse(json);
    return APMPEvaluator::evaluateStatement(entityFromJSON(*parsed), global, &error);
  }

  std::unique_ptr<APMPRuntimeHeap> heap = std::make_unique<APMPRuntimeHeap>();
  APMPScopePtr global = heap->rootScope()->createChildScope();
  platform::Error error;
};
