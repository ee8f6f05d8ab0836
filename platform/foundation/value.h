// A loosely typed value: what the system's dictionaries, arrays, numbers and property lists hold.
// Bool, integer and double are distinct kinds and stay so through every conversion.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/date.h"

namespace platform {

using Data = std::vector<std::uint8_t>;

class Value {
 public:
  enum class Type { Null, Bool, Integer, Unsigned, Double, String, Data, Date, Array, Dictionary };
  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value, std::less<>>;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(std::int64_t{i}) {}
  Value(long i) : v_(std::int64_t{i}) {}
  Value(long long i) : v_(std::int64_t{i}) {}
  Value(unsigned u) : v_(std::uint64_t{u}) {}
  Value(unsigned long u) : v_(std::uint64_t{u}) {}
  Value(unsigned long long u) : v_(std::uint64_t{u}) {}
  Value(double d) : v_(d) {}
  Value(float f) : v_(double{f}) {}
  Value(const char* s) : v_(std::string(s ? s : "")) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(platform::Data d) : v_(std::move(d)) {}
  Value(platform::Date d) : v_(d) {}
  Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
  Value(Dictionary d) : v_(std::make_shared<Dictionary>(std::move(d))) {}
  // Pointers other than C strings must not silently become bools.
  template <class T>
  Value(T*) = delete;

  static Value array(std::initializer_list<Value> items) { return Value(Array(items)); }
  static Value dictionary(std::initializer_list<std::pair<const std::string, Value>> items) {
    return Value(Dictionary(items));
  }

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInteger() const { return type() == Type::Integer; }
  bool isUnsigned() const { return type() == Type::Unsigned; }
  bool isDouble() const { return type() == Type::Double; }
  // Any of bool, integer, unsigned or double: what the platform calls a number.
  bool isNumber() const;
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }

  // Exact accessors: null when the value is of another kind.
  const bool* ifBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* ifInteger() const { return std::get_if<std::int64_t>(&v_); }
  const std::uint64_t* ifUnsigned() const { return std::get_if<std::uint64_t>(&v_); }
  const double* ifDouble() const { return std::get_if<double>(&v_); }
  const std::string* ifString() const { return std::get_if<std::string>(&v_); }
  const platform::Data* ifData() const { return std::get_if<platform::Data>(&v_); }
  const platform::Date* ifDate() const { return std::get_if<platform::Date>(&v_); }
  const Array* ifArray() const;
  const Dictionary* ifDictionary() const;
  // Mutable access; copies shared storage first so other holders never see the change.
  Array* mutableArray();
  Dictionary* mutableDictionary();

  // Coercions on loosely typed values, as the platform does them:
  // numbers convert; strings are parsed ("YES"/"true"/leading digits 1-9 are true for boolValue,
  // leading numeric prefix for integerValue/doubleValue); anything else gives false / 0.
  bool boolValue() const;
  std::int64_t integerValue() const;
  std::uint64_t unsignedValue() const;
  double doubleValue() const;
  // The string itself, or a number's description; empty for other kinds.
  std::string stringValue() const;

  // Convenience getters returning a default when absent or of another kind.
  const std::string& string(const std::string& fallback = emptyString()) const;
  const Array& arrayOrEmpty() const;
  const Dictionary& dictionaryOrEmpty() const;

  // Dictionary and array lookup; a missing key or index, or a non-container, gives null.
  const Value& operator[](std::string_view key) const;
  const Value& at(std::size_t index) const;
  bool contains(std::string_view key) const;
  std::size_t count() const;  // elements of an array or dictionary, bytes of data, else 0

  // The platform's textual description (numbers, strings, data, dates, arrays, dictionaries).
  std::string description() const;

  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }
  std::size_t hash() const;

  static const std::string& emptyString();
  static const Value& null();

 private:
  using Storage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
                               platform::Data, platform::Date, std::shared_ptr<Array>, std::shared_ptr<Dictionary>>;
  Storage v_;
};

}  // namespace platform

template <>
struct std::hash<platform::Value> {
  std::size_t operator()(const platform::Value& v) const { return v.hash(); }
};
