// Keyed archives in the platform's layout: a binary property list with "$archiver", "$version",
// "$top" and "$objects", objects referring to each other by UID, and class entries with
// "$classname" and "$classes". Strings, numbers, data, dates, arrays and dictionaries (Values)
// are archived as the platform's own classes; other objects implement Codable and register a
// factory under their class name. Decoding checks every object's class against the classes the
// caller allows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform {

class KeyedArchiver;
class KeyedUnarchiver;

inline constexpr std::string_view kKeyedArchiveRootObjectKey = "root";

// Names of the platform's own archivable classes, for allowed-class sets.
namespace ArchiveClass {
inline constexpr std::string_view kObject = "NSObject";
inline constexpr std::string_view kString = "NSString";
inline constexpr std::string_view kNumber = "NSNumber";
inline constexpr std::string_view kData = "NSData";
inline constexpr std::string_view kDate = "NSDate";
inline constexpr std::string_view kArray = "NSArray";
inline constexpr std::string_view kMutableArray = "NSMutableArray";
inline constexpr std::string_view kDictionary = "NSDictionary";
inline constexpr std::string_view kMutableDictionary = "NSMutableDictionary";
inline constexpr std::string_view kNull = "NSNull";
}  // namespace ArchiveClass

// A set of class names. Allowing a class allows its subclasses ("NSDictionary" admits
// "NSMutableDictionary"; "NSObject" admits everything).
using ClassSet = std::set<std::string, std::less<>>;

// An object that writes itself into a keyed archive. It is made again by the initWithCoder
// factory registered for its class name (CodableClasses).
class Codable {
 public:
  virtual ~Codable() = default;
  // The class name recorded in the archive.
  virtual std::string className() const = 0;
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

struct CodableClass {
  std::string name;
  // Superclass names, nearest first; "NSObject" is always implied at the end.
  std::vector<std::string> superclasses;
  // Makes the object from the unarchiver positioned on its keys; null means the object decodes
  // as nil (or call failWithError on the unarchiver).
  std::function<std::shared_ptr<Codable>(KeyedUnarchiver&)> initWithCoder;
  bool supportsSecureCoding = true;
};

// Class name -> factory. Registering a name again replaces the earlier entry. Thread-safe.
namespace CodableClasses {
void registerClass(CodableClass cls);
std::shared_ptr<const CodableClass> find(std::string_view name);

// For a class T with `static std::shared_ptr<T> initWithCoder(KeyedUnarchiver&)`.
template <class T>
void registerClass(std::string name, std::vector<std::string> superclasses = {}) {
  registerClass(CodableClass{std::move(name), std::move(superclasses),
                             [](KeyedUnarchiver& coder) -> std::shared_ptr<Codable> { return T::initWithCoder(coder); },
                             true});
}
}  // namespace CodableClasses

// What an archive holds at one place: nothing (nil), a plain Value, or a codable object.
class ArchiveObject {
 public:
  ArchiveObject() = default;
  ArchiveObject(Value value) : value_(std::move(value)) {}
  ArchiveObject(std::shared_ptr<Codable> object) : object_(std::move(object)) {}

  bool isNil() const { return !object_ && value_.isNull(); }
  explicit operator bool() const { return !isNil(); }
  // The plain value; null for nil and for codable objects.
  const Value& value() const { return value_; }
  const std::shared_ptr<Codable>& object() const { return object_; }
  template <class T>
  std::shared_ptr<T> as() const {
    return std::dynamic_pointer_cast<T>(object_);
  }

 private:
  Value value_;
  std::shared_ptr<Codable> object_;
};

// Misuse raises a platform Exception (kInvalidArgumentException), as the platform's archiver
// does: a class that does not support secure coding while it is required, an object that
// contains itself, a string or key with a NUL character or invalid UTF-8. After an exception the
// archiver must not be used further. archivedDataWithRootObject turns exceptions into Errors.
class KeyedArchiver {
 public:
  explicit KeyedArchiver(bool requiringSecureCoding = true);
  ~KeyedArchiver();
  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;

  bool requiresSecureCoding() const;

  // Objects are written once and referred to by UID; a null Value is nil. Keys starting with "$"
  // are escaped, as the platform does, so they never clash with the layout's own keys.
  void encodeObject(const Value& value, std::string_view key);
  void encodeObject(const std::shared_ptr<const Codable>& object, std::string_view key);
  void encodeObject(const ArchiveObject& object, std::string_view key);
  // An inline array of references, as the platform's own collections keep "NS.keys" and
  // "NS.objects": a Codable named as one of them archives itself exactly like one (a dictionary
  // whose keys are numbers, which a Value cannot hold). Null Values are stored as the null object.
  void encodeObjectReferences(const std::vector<ArchiveObject>& objects, std::string_view key);
  void encodeBool(bool value, std::string_view key);
  void encodeInt(int value, std::string_view key);
  void encodeInt32(std::int32_t value, std::string_view key);
  void encodeInt64(std::int64_t value, std::string_view key);
  void encodeInteger(std::int64_t value, std::string_view key);
  void encodeDouble(double value, std::string_view key);
  void encodeFloat(float value, std::string_view key);

  // Finishes the archive (nothing can be encoded afterwards) and returns it.
  Data encodedData();

  static std::optional<Data> archivedDataWithRootObject(const Value& root, bool requiringSecureCoding, Error* error);
  static std::optional<Data> archivedDataWithRootObject(const std::shared_ptr<const Codable>& root,
                                                        bool requiringSecureCoding, Error* error);

 private:
  struct State;
  std::uint64_t encodeValue(const Value& value);
  std::uint64_t elementUID(const Value& item);
  std::uint64_t encodeCodable(const std::shared_ptr<const Codable>& object);
  std::unique_ptr<State> s_;
};

// Decoding never throws: a corrupt archive, an unknown or disallowed class, a reference cycle or
// an exception raised by an initWithCoder sets the unarchiver's error (Cocoa 4864), after which
// every decode answers nil or 0, and the top-level calls answer nil with that error.
class KeyedUnarchiver {
 public:
  // None, with an error, when the bytes are not a keyed archive. Secure coding is required
  // until setRequiresSecureCoding(false).
  static std::unique_ptr<KeyedUnarchiver> forReadingFromData(const Data& data, Error* error);
  ~KeyedUnarchiver();
  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

  bool requiresSecureCoding() const;
  void setRequiresSecureCoding(bool required);
  // Objects archived under `archivedName` are made as the class registered as `localName`.
  void setClassForClassName(std::string localName, std::string archivedName);

  bool containsValueForKey(std::string_view key) const;
  ArchiveObject decodeObjectOfClasses(const ClassSet& classes, std::string_view key);
  ArchiveObject decodeObjectOfClass(std::string_view className, std::string_view key);
  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(std::string_view className, std::string_view key) {
    return decodeObjectOfClass(className, key).template as<T>();
  }
  // Any class; refused (error) while secure coding is required.
  ArchiveObject decodeObjectForKey(std::string_view key);
  // decodeObjectOfClass with "NSString", "NSData" or "NSDate", unwrapped; none when absent.
  std::optional<std::string> decodeStringForKey(std::string_view key);
  std::optional<Data> decodeDataForKey(std::string_view key);
  std::optional<Date> decodeDateForKey(std::string_view key);

  // A missing key gives false / 0. A number of another kind converts; a value that is not a
  // number, or that does not fit the asked width, fails the decoding.
  bool decodeBoolForKey(std::string_view key);
  int decodeIntForKey(std::string_view key);
  std::int32_t decodeInt32ForKey(std::string_view key);
  std::int64_t decodeInt64ForKey(std::string_view key);
  std::int64_t decodeIntegerForKey(std::string_view key);
  double decodeDoubleForKey(std::string_view key);
  float decodeFloatForKey(std::string_view key);

  // Marks the decoding as failed (the first error is kept); for initWithCoder implementations.
  void failWithError(Error error);
  const Error& error() const;

  static ArchiveObject unarchivedObjectOfClasses(const ClassSet& classes, const Data& data, Error* error);
  static ArchiveObject unarchivedObjectOfClass(std::string_view className, const Data& data, Error* error);

 private:
  struct State;
  KeyedUnarchiver();
  ArchiveObject decodeObject(std::string_view key, const ClassSet* allowed);
  ArchiveObject decodeReference(std::uint64_t uid, const ClassSet* allowed, std::string_view key);
  std::optional<Value> decodeNumber(std::string_view key);
  void fail(std::string detail);
  std::unique_ptr<State> s_;
};

}  // namespace platform
