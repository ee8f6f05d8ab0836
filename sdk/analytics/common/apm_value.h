// A typed, immutable parameter or user-property value: a double, a 64-bit integer, a string or an
// array of item parameter dictionaries. Shared between queues as `APMValuePtr`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "sdk/analytics/common/apm_object.h"

class APMValue {
 public:
  enum class Type : std::int64_t { Double = 0, Int64 = 1, String = 2, Array = 3 };
  using Payload = std::variant<double, std::int64_t, std::string, std::shared_ptr<const APMArray>>;

  // Stores tag and payload unchanged; every other constructor ends here.
  static APMValuePtr initWithValueType(Type type, Payload value);
  static APMValuePtr initWithDouble(double value);
  static APMValuePtr initWithInt64(std::int64_t value);
  // Refuses nil (35002) and objects that are not strings (35003).
  static APMValuePtr initWithString(const APMObject& value);
  static APMValuePtr initWithString(std::string value);
  // Refuses nil (35004) and non-arrays (35005); keeps a copy of the elements.
  static APMValuePtr initWithArray(const APMObject& value);
  static APMValuePtr valueFromObject(const APMObject& object) { return valueFromObject(object, false); }
  // What the facade, the connector and the validator turn callers' objects into. Booleans and
  // integers become int64 values, floating-point numbers double values.
  static APMValuePtr valueFromObject(const APMObject& object, bool allowArray);

  Type valueType() const { return type_; }
  bool isDouble() const { return type_ == Type::Double; }
  bool isInt64() const { return type_ == Type::Int64; }
  bool isString() const { return type_ == Type::String; }
  bool isArray() const { return type_ == Type::Array; }

  // No accessor converts between kinds.
  double doubleValue() const;
  std::int64_t int64Value() const;
  const std::string* stringValue() const;
  const APMArray* arrayValue() const;

  std::string description() const;
  // Same tag and equal payloads.
  bool isEqual(const APMValue& other) const;
  std::size_t hash() const;

  APMValue(Type type, Payload value) : type_(type), value_(std::move(value)) {}

 private:
  Type type_;
  Payload value_;
};

inline bool operator==(const APMValue& a, const APMValue& b) { return a.isEqual(b); }

// A typed int64 value as an object, the form event parameters and user properties carry.
inline APMObject APMInt64Object(std::int64_t value) { return APMObject(APMValue::initWithInt64(value)); }
