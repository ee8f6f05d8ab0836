// What analytics callers hand in and what monitor lines carry as context: the platform's `id`.
// An object is nothing (nil), a platform value (string, number, array, dictionary, ...), an
// `APMValue`, a dictionary or array of such objects, an error, an exception or some other object
// known only by its class name and description.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class APMValue;
class APMObject;
using APMValuePtr = std::shared_ptr<const APMValue>;
using APMDictionary = std::map<std::string, APMObject, std::less<>>;
using APMArray = std::vector<APMObject>;

// An exception as the monitor sees it: its name, reason and the symbolicated call stack.
struct APMExceptionInfo {
  std::string name;
  std::string reason;
  std::vector<std::string> callStackSymbols;
  std::string description() const { return reason; }
};

// An object the engine knows nothing about but its class and description.
struct APMOpaqueObject {
  std::string className;
  std::string description;  // empty: the object has none
};

class APMObject {
 public:
  APMObject() = default;
  APMObject(std::nullptr_t) {}
  APMObject(platform::Value v) : v_(std::move(v)) {}
  APMObject(const char* s) : v_(platform::Value(s)) {}
  APMObject(std::string s) : v_(platform::Value(std::move(s))) {}
  APMObject(std::string_view s) : v_(platform::Value(s)) {}
  APMObject(int i) : v_(platform::Value(i)) {}
  APMObject(long i) : v_(platform::Value(i)) {}
  APMObject(long long i) : v_(platform::Value(i)) {}
  APMObject(unsigned long i) : v_(platform::Value(i)) {}
  APMObject(double d) : v_(platform::Value(d)) {}
  APMObject(bool b) : v_(platform::Value(b)) {}
  APMObject(APMValuePtr v);
  APMObject(APMDictionary d) : v_(std::make_shared<const APMDictionary>(std::move(d))) {}
  APMObject(APMArray a) : v_(std::make_shared<const APMArray>(std::move(a))) {}
  APMObject(platform::Error e) : v_(std::make_shared<const platform::Error>(std::move(e))) {}
  APMObject(APMExceptionInfo e) : v_(std::make_shared<const APMExceptionInfo>(std::move(e))) {}
  APMObject(APMOpaqueObject o) : v_(std::move(o)) {}
  template <class T>
  APMObject(T*) = delete;

  // The null object (`NSNull`) is a platform null value; nil is nothing at all.
  static APMObject null() { return APMObject(platform::Value()); }

  bool isNil() const { return v_.index() == 0; }
  bool isNullObject() const;
  const platform::Value* platformValue() const { return std::get_if<platform::Value>(&v_); }
  const APMValuePtr* apmValue() const { return std::get_if<APMValuePtr>(&v_); }
  const platform::Error* error() const;
  const APMExceptionInfo* exception() const;
  const APMOpaqueObject* opaque() const { return std::get_if<APMOpaqueObject>(&v_); }

  bool isString() const;
  const std::string* ifString() const;
  // A platform number (bool, integer, unsigned or double).
  bool isNumber() const;
  // A platform array or an array of objects.
  bool isArray() const;
  bool isDictionary() const;
  // The elements of an array and the entries of a dictionary, as objects (empty otherwise).
  APMArray arrayElements() const;
  APMDictionary dictionaryEntries() const;
  std::size_t count() const;

  // The platform's class names, for messages that print the class of what they were given.
  std::string className() const;
  // The object's description ("" for nil).
  std::string description() const;

  friend bool operator==(const APMObject& a, const APMObject& b);

 private:
  std::variant<std::monostate, platform::Value, APMValuePtr, std::shared_ptr<const APMDictionary>,
               std::shared_ptr<const APMArray>, std::shared_ptr<const platform::Error>,
               std::shared_ptr<const APMExceptionInfo>, APMOpaqueObject>
      v_;
};

// An object converted to a platform value: APMValues give their payload, nested objects convert
// recursively; errors, exceptions and opaque objects give their description.
platform::Value APMObjectToPlatformValue(const APMObject& object);
