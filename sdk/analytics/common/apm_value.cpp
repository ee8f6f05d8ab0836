#include "sdk/analytics/common/apm_value.h"

#include <functional>

#include "sdk/analytics/common/apm_monitor.h"

APMValuePtr APMValue::initWithValueType(Type type, Payload value) {
  return std::make_shared<const APMValue>(type, std::move(value));
}

APMValuePtr APMValue::initWithDouble(double value) { return initWithValueType(Type::Double, value); }

APMValuePtr APMValue::initWithInt64(std::int64_t value) { return initWithValueType(Type::Int64, value); }

APMValuePtr APMValue::initWithString(std::string value) { return initWithValueType(Type::String, std::move(value)); }

APMValuePtr APMValue::initWithString(const APMObject& value) {
  if (value.isNil()) {
    APMLog(0, 35002, "Cannot create String value with nil");
    return nullptr;
  }
  const std::string* s = value.ifString();
  if (!s) {
    APMLog(0, 35003, "Cannot create String value with non-string value. Value", value);
    return nullptr;
  }
  return initWithString(*s);
}

APMValuePtr APMValue::initWithArray(const APMObject& value) {
  if (value.isNil()) {
    APMLog(0, 35004, "Cannot create Array value with nil");
    return nullptr;
  }
  if (!value.isArray()) {
    APMLog(0, 35005, "Cannot create Array value with non-array value. Value", value);
    return nullptr;
  }
  return initWithValueType(Type::Array, std::make_shared<const APMArray>(value.arrayElements()));
}

APMValuePtr APMValue::valueFromObject(const APMObject& object, bool allowArray) {
  if (object.isNil()) {
    APMLog(0, 35000, "Cannot create Value type with nil value");
    return nullptr;
  }
  if (const APMValuePtr* value = object.apmValue()) return *value;
  if (object.isString()) return initWithString(object);
  if (object.isNumber()) {
    const platform::Value& number = *object.platformValue();
    if (number.isDouble()) return initWithDouble(number.doubleValue());
    return initWithInt64(number.integerValue());
  }
  if (allowArray && object.isArray()) return initWithArray(object);
  APMLog(0, 35001,
         "Cannot create Value type with unsupported value. The Value has to be NSNumber, NSString or NSArray (if "
         "supported). Value",
         object);
  return nullptr;
}

double APMValue::doubleValue() const {
  const double* d = std::get_if<double>(&value_);
  return type_ == Type::Double && d ? *d : 0.0;
}

std::int64_t APMValue::int64Value() const {
  const std::int64_t* i = std::get_if<std::int64_t>(&value_);
  return type_ == Type::Int64 && i ? *i : 0;
}

const std::string* APMValue::stringValue() const {
  return type_ == Type::String ? std::get_if<std::string>(&value_) : nullptr;
}

const APMArray* APMValue::arrayValue() const {
  const auto* a = std::get_if<std::shared_ptr<const APMArray>>(&value_);
  return type_ == Type::Array && a ? a->get() : nullptr;
}

std::string APMValue::description() const {
  if (const auto* d = std::get_if<double>(&value_)) return platform::Value(*d).description();
  if (const auto* i = std::get_if<std::int64_t>(&value_)) return platform::Value(*i).description();
  if (const auto* s = std::get_if<std::string>(&value_)) return *s;
  return APMObject(*std::get<std::shared_ptr<const APMArray>>(value_)).description();
}

bool APMValue::isEqual(const APMValue& other) const {
  if (type_ != other.type_ || value_.index() != other.value_.index()) return false;
  if (const auto* a = std::get_if<std::shared_ptr<const APMArray>>(&value_)) {
    return **a == *std::get<std::shared_ptr<const APMArray>>(other.value_);
  }
  return value_ == other.value_;
}

std::size_t APMValue::hash() const {
  std::size_t payload = 0;
  if (const auto* d = std::get_if<double>(&value_)) payload = std::hash<double>{}(*d);
  if (const auto* i = std::get_if<std::int64_t>(&value_)) payload = std::hash<std::int64_t>{}(*i);
  if (const auto* s = std::get_if<std::string>(&value_)) payload = std::hash<std::string>{}(*s);
  if (const auto* a = std::get_if<std::shared_ptr<const APMArray>>(&value_)) payload = (*a)->size();
  return payload ^ (static_cast<std::size_t>(type_) * 31);
}
