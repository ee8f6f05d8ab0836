#include "sdk/analytics/common/apm_object.h"

#include "platform/foundation/format.h"
#include "sdk/analytics/common/apm_value.h"

APMObject::APMObject(APMValuePtr v) {
  if (v) v_ = std::move(v);
}

bool APMObject::isNullObject() const {
  const platform::Value* v = platformValue();
  return v && v->isNull();
}

const platform::Error* APMObject::error() const {
  const auto* e = std::get_if<std::shared_ptr<const platform::Error>>(&v_);
  return e ? e->get() : nullptr;
}

const APMExceptionInfo* APMObject::exception() const {
  const auto* e = std::get_if<std::shared_ptr<const APMExceptionInfo>>(&v_);
  return e ? e->get() : nullptr;
}

bool APMObject::isString() const { return ifString() != nullptr; }

const std::string* APMObject::ifString() const {
  const platform::Value* v = platformValue();
  return v ? v->ifString() : nullptr;
}

bool APMObject::isNumber() const {
  const platform::Value* v = platformValue();
  return v && v->isNumber();
}

bool APMObject::isArray() const {
  const platform::Value* v = platformValue();
  return (v && v->isArray()) || std::holds_alternative<std::shared_ptr<const APMArray>>(v_);
}

bool APMObject::isDictionary() const {
  const platform::Value* v = platformValue();
  return (v && v->isDictionary()) || std::holds_alternative<std::shared_ptr<const APMDictionary>>(v_);
}

APMArray APMObject::arrayElements() const {
  if (const auto* a = std::get_if<std::shared_ptr<const APMArray>>(&v_)) return **a;
  APMArray out;
  if (const platform::Value* v = platformValue()) {
    if (const auto* a = v->ifArray()) out.assign(a->begin(), a->end());
  }
  return out;
}

APMDictionary APMObject::dictionaryEntries() const {
  if (const auto* d = std::get_if<std::shared_ptr<const APMDictionary>>(&v_)) return **d;
  APMDictionary out;
  if (const platform::Value* v = platformValue()) {
    if (const auto* d = v->ifDictionary()) {
      for (const auto& [key, value] : *d) out.emplace(key, APMObject(value));
    }
  }
  return out;
}

std::size_t APMObject::count() const {
  if (const auto* a = std::get_if<std::shared_ptr<const APMArray>>(&v_)) return (*a)->size();
  if (const auto* d = std::get_if<std::shared_ptr<const APMDictionary>>(&v_)) return (*d)->size();
  if (const platform::Value* v = platformValue()) return v->isArray() || v->isDictionary() ? v->count() : 0;
  return 0;
}

std::string APMObject::className() const {
  switch (v_.index()) {
    case 0:
      return "nil";
    case 1:
      switch (std::get<platform::Value>(v_).type()) {
        case platform::Value::Type::Null:
          return "NSNull";
        case platform::Value::Type::Bool:
          return "__NSCFBoolean";
        case platform::Value::Type::Integer:
        case platform::Value::Type::Unsigned:
        case platform::Value::Type::Double:
          return "__NSCFNumber";
        case platform::Value::Type::String:
          return "NSString";
        case platform::Value::Type::Data:
          return "NSData";
        case platform::Value::Type::Date:
          return "NSDate";
        case platform::Value::Type::Array:
          return "NSArray";
        case platform::Value::Type::Dictionary:
          return "NSDictionary";
      }
      return "NSObject";
    case 2:
      return "APMValue";
    case 3:
      return "NSDictionary";
    case 4:
      return "NSArray";
    case 5:
      return "NSError";
    case 6:
      return "NSException";
    default:
      return std::get<APMOpaqueObject>(v_).className;
  }
}

std::string APMObject::description() const {
  if (isNil()) return "";
  if (const auto* v = platformValue()) return v->isNull() ? "<null>" : v->description();
  if (const auto* v = apmValue()) return (*v)->description();
  if (const auto* e = error()) return e->description();
  if (const auto* e = exception()) return e->description();
  if (const auto* o = opaque()) return o->description;
  return APMObjectToPlatformValue(*this).description();
}

bool operator==(const APMObject& a, const APMObject& b) {
  if (a.v_.index() != b.v_.index()) return false;
  if (const auto* v = a.platformValue()) return *v == *b.platformValue();
  if (const auto* v = a.apmValue()) return (*v)->isEqual(**b.apmValue());
  if (const auto* d = std::get_if<std::shared_ptr<const APMDictionary>>(&a.v_)) {
    return **d == *std::get<std::shared_ptr<const APMDictionary>>(b.v_);
  }
  if (const auto* l = std::get_if<std::shared_ptr<const APMArray>>(&a.v_)) {
    return **l == *std::get<std::shared_ptr<const APMArray>>(b.v_);
  }
  if (a.isNil()) return true;
  return a.description() == b.description() && a.className() == b.className();
}

platform::Value APMObjectToPlatformValue(const APMObject& object) {
  if (object.isNil()) return {};
  if (const auto* v = object.platformValue()) return *v;
  if (const auto* v = object.apmValue()) {
    const APMValue& value = **v;
    switch (value.valueType()) {
      case APMValue::Type::Double:
        return value.doubleValue();
      case APMValue::Type::Int64:
        return value.int64Value();
      case APMValue::Type::String:
        return *value.stringValue();
      case APMValue::Type::Array: {
        platform::Value::Array out;
        for (const APMObject& element : *value.arrayValue()) out.push_back(APMObjectToPlatformValue(element));
        return out;
      }
    }
  }
  if (object.isDictionary()) {
    platform::Value::Dictionary out;
    for (const auto& [key, value] : object.dictionaryEntries()) out.emplace(key, APMObjectToPlatformValue(value));
    return out;
  }
  if (object.isArray()) {
    platform::Value::Array out;
    for (const APMObject& element : object.arrayElements()) out.push_back(APMObjectToPlatformValue(element));
    return out;
  }
  return object.description();
}
