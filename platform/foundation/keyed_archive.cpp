#include "platform/foundation/keyed_archive.h"

#include <plist/plist.h>

#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/plist_nodes.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {

using PlistNodes::Node;

constexpr std::string_view kArchiverName = "NSKeyedArchiver";
constexpr std::uint64_t kArchiveVersion = 100000;

// The platform's own classes as this decoder knows them, with their superclass chains.
enum class Builtin { String, Number, Data, Date, Array, MutableArray, Dictionary, MutableDictionary, Null };

struct BuiltinClass {
  std::string_view name;
  Builtin kind;
  std::vector<std::string_view> chain;
};

const std::vector<BuiltinClass>& builtins() {
  // Never destroyed: a worker may still archive or unarchive while the process exits.
  static const std::vector<BuiltinClass>* const table = new std::vector<BuiltinClass>{
      {"NSString", Builtin::String, {"NSString", "NSObject"}},
      {"NSNumber", Builtin::Number, {"NSNumber", "NSValue", "NSObject"}},
      {"NSData", Builtin::Data, {"NSData", "NSObject"}},
      {"NSDate", Builtin::Date, {"NSDate", "NSObject"}},
      {"NSArray", Builtin::Array, {"NSArray", "NSObject"}},
      {"NSMutableArray", Builtin::MutableArray, {"NSMutableArray", "NSArray", "NSObject"}},
      {"NSDictionary", Builtin::Dictionary, {"NSDictionary", "NSObject"}},
      {"NSMutableDictionary", Builtin::MutableDictionary, {"NSMutableDictionary", "NSDictionary", "NSObject"}},
      {"NSNull", Builtin::Null, {"NSNull", "NSObject"}},
  };
  return *table;
}

const BuiltinClass* findBuiltin(std::string_view name) {
  for (const auto& b : builtins()) {
    if (b.name == name) return &b;
  }
  return nullptr;
}

const BuiltinClass& builtin(Builtin kind) {
  for (const auto& b : builtins()) {
    if (b.kind == kind) return b;
  }
  return builtins().front();
}

struct Registry {
  SharedMutex mutex;
  std::map<std::string, std::shared_ptr<const CodableClass>, std::less<>> classes GUARDED_BY(mutex);
};

Registry& registry() {
  // Never destroyed: a worker may still archive or unarchive while the process exits.
  static Registry* const r = new Registry;
  return *r;
}

[[noreturn]] void misuse(std::string reason) { throw Exception(std::string(kInvalidArgumentException), std::move(reason)); }

// Keys the layout uses itself start with "$"; an object's own such keys get one more "$".
std::string escapeKey(std::string_view key) {
  if (key.starts_with('$')) return "$" + std::string(key);
  return std::string(key);
}

Error corruptError(std::string detail) { return corruptDataError(std::move(detail), kCoderReadCorruptError); }

Error archivingError(const Exception& e) {
  return Error(std::string(kCocoaErrorDomain), kCoderInvalidValueError,
               Value::Dictionary{{std::string(kDebugDescriptionErrorKey), Value(e.reason())}});
}

plist_t uidNode(std::uint64_t uid) { return plist_new_uid(uid); }

// Bounds the nesting of what is archived or unarchived, so the recursion cannot exhaust the stack.
class Nesting {
 public:
  explicit Nesting(std::size_t& depth) : depth_(depth) {
    if (++depth_ > PlistNodes::kMaxDepth) {
      --depth_;
      misuse("Objects are nested too deeply to be archived.");
    }
  }
  ~Nesting() { --depth_; }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;

 private:
  std::size_t& depth_;
};

std::string joined(const ClassSet& classes) {
  std::string out;
  for (const auto& c : classes) {
    if (!out.empty()) out += ", ";
    out += c;
  }
  return out;
}

}  // namespace

// ----------------------------------------------------------------------------------------------
// Registry

namespace CodableClasses {

void registerClass(CodableClass cls) {
  auto& r = registry();
  WriterLock lock(r.mutex);
  std::string name = cls.name;
  r.classes[std::move(name)] = std::make_shared<const CodableClass>(std::move(cls));
}

std::shared_ptr<const CodableClass> find(std::string_view name) {
  auto& r = registry();
  ReaderLock lock(r.mutex);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second;
}

}  // namespace CodableClasses

// ----------------------------------------------------------------------------------------------
// Archiver

struct KeyedArchiver::State {
  bool secure = true;
  std::vector<Node> objects;  // index = UID; 0 is "$null"
  std::unordered_map<std::string, std::uint64_t> stringUIDs;
  std::unordered_map<std::string, std::uint64_t> classUIDs;
  std::unordered_map<const Codable*, std::uint64_t> objectUIDs;
  std::unordered_map<const Codable*, bool> inProgress;
  // Held until the archive is finished, so no address is reused by another object meanwhile.
  std::vector<std::shared_ptr<const Codable>> retained;
  // Arrays and dictionaries by their shared storage: a container held in several places is
  // archived once, as the platform archives one object once.
  std::unordered_map<const void*, std::uint64_t> containerUIDs;
  std::vector<Value> retainedValues;
  std::optional<std::uint64_t> nullUID;
  std::size_t depth = 0;
  Node top{plist_new_dict()};
  std::vector<plist_t> containers;  // the dictionary keys go into; the innermost is last
  std::optional<Data> result;

  std::uint64_t reserve() {
    objects.emplace_back();
    return objects.size() - 1;
  }

  std::uint64_t add(Node node) {
    objects.push_back(std::move(node));
    return objects.size() - 1;
  }

  std::uint64_t classUID(std::string_view name, const std::vector<std::string>& chain) {
    std::string key(name);
    if (auto it = classUIDs.find(key); it != classUIDs.end()) return it->second;
    Node entry(plist_new_dict());
    plist_dict_set_item(entry.get(), "$classname", plist_new_string(key.c_str()));
    plist_t classes = plist_new_array();
    for (const auto& c : chain) plist_array_append_item(classes, plist_new_string(c.c_str()));
    plist_dict_set_item(entry.get(), "$classes", classes);
    const std::uint64_t uid = add(std::move(entry));
    classUIDs.emplace(std::move(key), uid);
    return uid;
  }

  std::uint64_t builtinClassUID(Builtin kind) {
    const auto& b = builtin(kind);
    std::vector<std::string> chain(b.chain.begin(), b.chain.end());
    return classUID(b.name, chain);
  }

  void set(std::string_view key, plist_t node) {
    if (result) {
      plist_free(node);
      misuse("The archive is already finished; nothing more can be encoded.");
    }
    const std::string escaped = escapeKey(key);
    if (escaped.find('\0') != std::string::npos || !strings::isValidUTF8(escaped)) {
      plist_free(node);
      misuse("Archive keys must be UTF-8 without NUL characters.");
    }
    plist_dict_set_item(containers.back(), escaped.c_str(), node);
  }
};

KeyedArchiver::KeyedArchiver(bool requiringSecureCoding) : s_(std::make_unique<State>()) {
  s_->secure = requiringSecureCoding;
  s_->objects.emplace_back(plist_new_string("$null"));
  s_->containers.push_back(s_->top.get());
}

KeyedArchiver::~KeyedArchiver() = default;

bool KeyedArchiver::requiresSecureCoding() const { return s_->secure; }

std::uint64_t KeyedArchiver::encodeValue(const Value& value) {
  State& s = *s_;
  std::string why;
  switch (value.type()) {
    case Value::Type::Null:
      return 0;
    case Value::Type::String: {
      if (auto it = s.stringUIDs.find(*value.ifString()); it != s.stringUIDs.end()) return it->second;
      Node node = PlistNodes::scalarNode(value, &why);
      if (!node) misuse(why);
      const std::uint64_t uid = s.add(std::move(node));
      s.stringUIDs.emplace(*value.ifString(), uid);
      return uid;
    }
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Unsigned:
    case Value::Type::Double:
    case Value::Type::Data: {
      Node node = PlistNodes::scalarNode(value, &why);
      if (!node) misuse(why);
      return s.add(std::move(node));
    }
    case Value::Type::Date: {
      Node dict(plist_new_dict());
      plist_dict_set_item(dict.get(), "NS.time", plist_new_real(value.ifDate()->timeIntervalSinceReferenceDate()));
      plist_dict_set_item(dict.get(), "$class", uidNode(s.builtinClassUID(Builtin::Date)));
      return s.add(std::move(dict));
    }
    case Value::Type::Array: {
      if (auto it = s.containerUIDs.find(value.ifArray()); it != s.containerUIDs.end()) return it->second;
      const Nesting nesting(s.depth);
      const std::uint64_t uid = s.reserve();
      s.containerUIDs.emplace(value.ifArray(), uid);
      s.retainedValues.push_back(value);
      Node refs(plist_new_array());
      for (const auto& item : *value.ifArray()) plist_array_append_item(refs.get(), uidNode(elementUID(item)));
      Node dict(plist_new_dict());
      plist_dict_set_item(dict.get(), "NS.objects", refs.release());
      plist_dict_set_item(dict.get(), "$class", uidNode(s.builtinClassUID(Builtin::Array)));
      s.objects[uid] = std::move(dict);
      return uid;
    }
    case Value::Type::Dictionary: {
      if (auto it = s.containerUIDs.find(value.ifDictionary()); it != s.containerUIDs.end()) return it->second;
      const Nesting nesting(s.depth);
      const std::uint64_t uid = s.reserve();
      s.containerUIDs.emplace(value.ifDictionary(), uid);
      s.retainedValues.push_back(value);
      Node keys(plist_new_array());
      Node objects(plist_new_array());
      for (const auto& [key, item] : *value.ifDictionary()) {
        plist_array_append_item(keys.get(), uidNode(encodeValue(Value(key))));
        plist_array_append_item(objects.get(), uidNode(elementUID(item)));
      }
      Node dict(plist_new_dict());
      plist_dict_set_item(dict.get(), "NS.keys", keys.release());
      plist_dict_set_item(dict.get(), "NS.objects", objects.release());
      plist_dict_set_item(dict.get(), "$class", uidNode(s.builtinClassUID(Builtin::Dictionary)));
      s.objects[uid] = std::move(dict);
      return uid;
    }
  }
  misuse("A value of an unknown kind cannot be archived.");
}

std::uint64_t KeyedArchiver::elementUID(const Value& item) {
  if (!item.isNull()) return encodeValue(item);
  // Collections cannot hold nil; the platform stores its null object instead.
  State& s = *s_;
  if (!s.nullUID) {
    Node dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "$class", uidNode(s.builtinClassUID(Builtin::Null)));
    s.nullUID = s.add(std::move(dict));
  }
  return *s.nullUID;
}

std::uint64_t KeyedArchiver::encodeCodable(const std::shared_ptr<const Codable>& pointer) {
  State& s = *s_;
  const Codable& object = *pointer;
  if (auto it = s.objectUIDs.find(&object); it != s.objectUIDs.end()) {
    if (s.inProgress[&object]) {
      misuse(format("An object of class '%s' contains itself and cannot be archived.", object.className()));
    }
    return it->second;
  }
  const std::string name = object.className();
  auto cls = CodableClasses::find(name);
  if (s.secure && cls && !cls->supportsSecureCoding) {
    misuse(format("This archiver requires secure coding, but class '%s' does not support it.", name));
  }
  const Nesting nesting(s.depth);
  s.retained.push_back(pointer);
  std::vector<std::string> chain{name};
  if (cls) chain.insert(chain.end(), cls->superclasses.begin(), cls->superclasses.end());
  if (chain.back() != ArchiveClass::kObject) chain.emplace_back(ArchiveClass::kObject);

  const std::uint64_t uid = s.reserve();
  s.objectUIDs.emplace(&object, uid);
  s.inProgress[&object] = true;
  s.objects[uid] = Node(plist_new_dict());
  plist_t dict = s.objects[uid].get();
  s.containers.push_back(dict);
  object.encodeWithCoder(*this);
  s.containers.pop_back();
  s.inProgress[&object] = false;
  plist_dict_set_item(dict, "$class", uidNode(s.classUID(name, chain)));
  return uid;
}

void KeyedArchiver::encodeObject(const Value& value, std::string_view key) {
  const std::uint64_t uid = encodeValue(value);
  s_->set(key, uidNode(uid));
}

void KeyedArchiver::encodeObject(const std::shared_ptr<const Codable>& object, std::string_view key) {
  const std::uint64_t uid = object ? encodeCodable(object) : 0;
  s_->set(key, uidNode(uid));
}

void KeyedArchiver::encodeObjectReferences(const std::vector<ArchiveObject>& objects, std::string_view key) {
  Node refs(plist_new_array());
  for (const ArchiveObject& object : objects) {
    const std::uint64_t uid = object.object() ? encodeCodable(object.object()) : elementUID(object.value());
    plist_array_append_item(refs.get(), uidNode(uid));
  }
  s_->set(key, refs.release());
}

void KeyedArchiver::encodeObject(const ArchiveObject& object, std::string_view key) {
  if (object.object()) {
    encodeObject(std::shared_ptr<const Codable>(object.object()), key);
  } else {
    encodeObject(object.value(), key);
  }
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) { s_->set(key, plist_new_bool(value ? 1 : 0)); }
void KeyedArchiver::encodeInt(int value, std::string_view key) { encodeInt64(value, key); }
void KeyedArchiver::encodeInt32(std::int32_t value, std::string_view key) { encodeInt64(value, key); }
void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) {
  s_->set(key, plist_new_uint(static_cast<std::uint64_t>(value)));
}
void KeyedArchiver::encodeInteger(std::int64_t value, std::string_view key) { encodeInt64(value, key); }
void KeyedArchiver::encodeDouble(double value, std::string_view key) { s_->set(key, plist_new_real(value)); }
void KeyedArchiver::encodeFloat(float value, std::string_view key) { encodeDouble(value, key); }

Data KeyedArchiver::encodedData() {
  State& s = *s_;
  if (s.result) return *s.result;
  Node root(plist_new_dict());
  plist_dict_set_item(root.get(), "$version", plist_new_uint(kArchiveVersion));
  plist_dict_set_item(root.get(), "$archiver", plist_new_string(std::string(kArchiverName).c_str()));
  plist_dict_set_item(root.get(), "$top", s.top.release());
  plist_t objects = plist_new_array();
  for (auto& node : s.objects) {
    // A slot left empty by an encoding that raised halfway still needs a placeholder.
    plist_array_append_item(objects, node ? node.release() : plist_new_string("$null"));
  }
  plist_dict_set_item(root.get(), "$objects", objects);
  s.objects.clear();
  s.containers.clear();
  char* out = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &out, &length);
  Data data;
  if (out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(out);
    data.assign(p, p + length);
    plist_to_bin_free(out);
  }
  s.result = data;
  return data;
}

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const Value& root, bool requiringSecureCoding,
                                                              Error* error) {
  try {
    KeyedArchiver archiver(requiringSecureCoding);
    archiver.encodeObject(root, kKeyedArchiveRootObjectKey);
    return archiver.encodedData();
  } catch (const Exception& e) {
    setError(error, archivingError(e));
    return std::nullopt;
  }
}

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const std::shared_ptr<const Codable>& root,
                                                              bool requiringSecureCoding, Error* error) {
  try {
    KeyedArchiver archiver(requiringSecureCoding);
    archiver.encodeObject(root, kKeyedArchiveRootObjectKey);
    return archiver.encodedData();
  } catch (const Exception& e) {
    setError(error, archivingError(e));
    return std::nullopt;
  }
}

// ----------------------------------------------------------------------------------------------
// Unarchiver

namespace {

// The class an archived object decodes as, on this side.
struct ResolvedClass {
  std::string name;
  const BuiltinClass* builtin = nullptr;
  std::shared_ptr<const CodableClass> registered;

  bool isKindOfAny(const ClassSet& allowed) const {
    if (builtin) {
      for (auto c : builtin->chain) {
        if (allowed.contains(c)) return true;
      }
      return false;
    }
    if (allowed.contains(registered->name)) return true;
    for (const auto& c : registered->superclasses) {
      if (allowed.contains(c)) return true;
    }
    return allowed.contains(ArchiveClass::kObject);
  }
};

}  // namespace

struct KeyedUnarchiver::State {
  Node root;
  plist_t objects = nullptr;
  std::uint32_t objectCount = 0;
  std::vector<plist_t> containers;
  bool secure = true;
  std::map<std::string, std::string, std::less<>> classMap;
  std::vector<std::optional<ArchiveObject>> decoded;
  std::vector<bool> inProgress;
  std::size_t depth = 0;
  Error error;

  plist_t lookup(std::string_view key) const {
    if (containers.empty()) return nullptr;
    const std::string escaped = escapeKey(key);
    if (escaped.find('\0') != std::string::npos) return nullptr;
    return plist_dict_get_item(containers.back(), escaped.c_str());
  }

  std::optional<std::string> stringAt(plist_t node) const {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    auto v = PlistNodes::scalarValue(node);
    if (!v) return std::nullopt;
    return *v->ifString();
  }

  // Which class the object decodes as: plain property-list values are the platform's string,
  // number, data and date; a dictionary names its class through "$class".
  std::optional<ResolvedClass> classOf(plist_t node, std::uint64_t uid, std::string_view key, std::string* why) const {
    switch (plist_get_node_type(node)) {
      case PLIST_STRING:
        return ResolvedClass{"NSString", findBuiltin("NSString"), nullptr};
      case PLIST_BOOLEAN:
      case PLIST_UINT:
      case PLIST_REAL:
        return ResolvedClass{"NSNumber", findBuiltin("NSNumber"), nullptr};
      case PLIST_DATA:
        return ResolvedClass{"NSData", findBuiltin("NSData"), nullptr};
      case PLIST_DATE:
        return ResolvedClass{"NSDate", findBuiltin("NSDate"), nullptr};
      case PLIST_DICT:
        break;
      default:
        *why = format("incomprehensible archive: object %llu for key '%s' is not an object", uid, key);
        return std::nullopt;
    }
    plist_t classRef = plist_dict_get_item(node, "$class");
    std::uint64_t classUID = 0;
    if (classRef && plist_get_node_type(classRef) == PLIST_UID) plist_get_uid_val(classRef, &classUID);
    plist_t entry = classUID > 0 && classUID < objectCount
                        ? plist_array_get_item(objects, static_cast<std::uint32_t>(classUID))
                        : nullptr;
    auto className = entry && plist_get_node_type(entry) == PLIST_DICT
                         ? stringAt(plist_dict_get_item(entry, "$classname"))
                         : std::nullopt;
    if (!className) {
      *why = format("incomprehensible archive: object %llu for key '%s' has no valid class", uid, key);
      return std::nullopt;
    }
    // The archived name first, then its archived superclasses: the first this side knows wins.
    if (auto cls = resolveName(*className)) return cls;
    plist_t chain = plist_dict_get_item(entry, "$classes");
    if (chain && plist_get_node_type(chain) == PLIST_ARRAY) {
      for (std::uint32_t i = 0, n = plist_array_get_size(chain); i < n; ++i) {
        auto name = stringAt(plist_array_get_item(chain, i));
        if (!name) continue;
        if (auto cls = resolveName(*name)) return cls;
      }
    }
    *why = format("cannot decode object of class (%s) for key (%s); the class may be defined in source code or a "
                  "library that is not linked",
                  *className, key);
    return std::nullopt;
  }

  std::optional<ResolvedClass> resolveName(std::string_view archived) const {
    std::string_view name = archived;
    if (auto it = classMap.find(archived); it != classMap.end()) name = it->second;
    ResolvedClass r;
    r.name = std::string(name);
    if ((r.builtin = findBuiltin(name))) return r;
    if ((r.registered = CodableClasses::find(name))) return r;
    return std::nullopt;
  }
};

KeyedUnarchiver::KeyedUnarchiver() : s_(std::make_unique<State>()) {}
KeyedUnarchiver::~KeyedUnarchiver() = default;

std::unique_ptr<KeyedUnarchiver> KeyedUnarchiver::forReadingFromData(const Data& data, Error* error) {
  Error parseError;
  PropertyList::Format format = PropertyList::Format::Binary;
  Node root = PlistNodes::parse(data, &parseError, &format);
  if (!root) {
    setError(error, corruptError(parseError.userInfo().count(std::string(kDebugDescriptionErrorKey))
                                     ? parseError.userInfo().at(std::string(kDebugDescriptionErrorKey)).string()
                                     : "The archive is not a property list."));
    return nullptr;
  }
  if (format == PropertyList::Format::XML) PlistNodes::resolveXMLReferences(root.get());
  plist_t r = root.get();
  plist_t objects = plist_get_node_type(r) == PLIST_DICT ? plist_dict_get_item(r, "$objects") : nullptr;
  plist_t top = plist_get_node_type(r) == PLIST_DICT ? plist_dict_get_item(r, "$top") : nullptr;
  plist_t archiver = plist_get_node_type(r) == PLIST_DICT ? plist_dict_get_item(r, "$archiver") : nullptr;
  if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top || plist_get_node_type(top) != PLIST_DICT ||
      (archiver && plist_get_node_type(archiver) != PLIST_STRING)) {
    setError(error, corruptError("incomprehensible archive: no $top dictionary or $objects array"));
    return nullptr;
  }
  std::unique_ptr<KeyedUnarchiver> u(new KeyedUnarchiver());
  State& s = *u->s_;
  s.objects = objects;
  s.objectCount = plist_array_get_size(objects);
  s.containers.push_back(top);
  s.decoded.resize(s.objectCount);
  s.inProgress.resize(s.objectCount, false);
  s.root = std::move(root);
  return u;
}

bool KeyedUnarchiver::requiresSecureCoding() const { return s_->secure; }
void KeyedUnarchiver::setRequiresSecureCoding(bool required) { s_->secure = required; }

void KeyedUnarchiver::setClassForClassName(std::string localName, std::string archivedName) {
  s_->classMap[std::move(archivedName)] = std::move(localName);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const { return s_->lookup(key) != nullptr; }

void KeyedUnarchiver::fail(std::string detail) {
  if (!s_->error) s_->error = corruptError(std::move(detail));
}

void KeyedUnarchiver::failWithError(Error error) {
  if (!s_->error) s_->error = std::move(error);
}

const Error& KeyedUnarchiver::error() const { return s_->error; }

ArchiveObject KeyedUnarchiver::decodeObjectOfClasses(const ClassSet& classes, std::string_view key) {
  return decodeObject(key, &classes);
}

ArchiveObject KeyedUnarchiver::decodeObjectOfClass(std::string_view className, std::string_view key) {
  const ClassSet classes{std::string(className)};
  return decodeObject(key, &classes);
}

ArchiveObject KeyedUnarchiver::decodeObjectForKey(std::string_view key) {
  if (s_->secure) {
    if (s_->lookup(key)) fail(format("decoding the value for key '%s' requires naming its allowed classes", key));
    return {};
  }
  return decodeObject(key, nullptr);
}

std::optional<std::string> KeyedUnarchiver::decodeStringForKey(std::string_view key) {
  auto o = decodeObjectOfClass(ArchiveClass::kString, key);
  if (const auto* s = o.value().ifString()) return *s;
  return std::nullopt;
}

std::optional<Data> KeyedUnarchiver::decodeDataForKey(std::string_view key) {
  auto o = decodeObjectOfClass(ArchiveClass::kData, key);
  if (const auto* d = o.value().ifData()) return *d;
  return std::nullopt;
}

std::optional<Date> KeyedUnarchiver::decodeDateForKey(std::string_view key) {
  auto o = decodeObjectOfClass(ArchiveClass::kDate, key);
  if (const auto* d = o.value().ifDate()) return *d;
  return std::nullopt;
}

ArchiveObject KeyedUnarchiver::decodeObject(std::string_view key, const ClassSet* allowed) {
  State& s = *s_;
  if (s.error) return {};
  plist_t node = s.lookup(key);
  if (!node) return {};
  if (plist_get_node_type(node) != PLIST_UID) {
    fail(format("incomprehensible archive: the value for key '%s' is not an object reference", key));
    return {};
  }
  std::uint64_t uid = 0;
  plist_get_uid_val(node, &uid);
  return decodeReference(uid, allowed, key);
}

ArchiveObject KeyedUnarchiver::decodeReference(std::uint64_t uid, const ClassSet* allowed, std::string_view key) {
  State& s = *s_;
  if (s.error) return {};
  if (uid == 0) return {};
  if (uid >= s.objectCount) {
    fail(format("incomprehensible archive: reference %llu for key '%s' is out of range", uid, key));
    return {};
  }
  const auto index = static_cast<std::size_t>(uid);
  plist_t node = plist_array_get_item(s.objects, static_cast<std::uint32_t>(uid));

  std::string why;
  const std::optional<ResolvedClass> cls = s.classOf(node, uid, key, &why);
  if (!cls) {
    fail(why);
    return {};
  }
  const bool keyed = plist_get_node_type(node) == PLIST_DICT;

  if (allowed && !cls->isKindOfAny(*allowed)) {
    fail(format("value for key '%s' was of unexpected class '%s'. Allowed classes are '{(%s)}'.", key, cls->name,
                joined(*allowed)));
    return {};
  }
  if (s.secure && cls->registered && !cls->registered->supportsSecureCoding) {
    fail(format("class '%s' does not support secure coding", cls->name));
    return {};
  }
  if (s.decoded[index]) return *s.decoded[index];
  if (s.inProgress[index]) {
    fail(format("incomprehensible archive: object %llu for key '%s' contains itself", uid, key));
    return {};
  }
  if (s.depth >= PlistNodes::kMaxDepth) {
    fail("incomprehensible archive: objects are nested too deeply");
    return {};
  }

  s.inProgress[index] = true;
  ++s.depth;
  ArchiveObject result;
  auto plainChildren = [&](plist_t refs, Value::Array* out) -> bool {
    if (!refs || plist_get_node_type(refs) != PLIST_ARRAY) return false;
    const std::uint32_t n = plist_array_get_size(refs);
    out->reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      plist_t ref = plist_array_get_item(refs, i);
      if (plist_get_node_type(ref) != PLIST_UID) return false;
      std::uint64_t child = 0;
      plist_get_uid_val(ref, &child);
      ArchiveObject item = decodeReference(child, allowed, key);
      if (s.error) return false;
      if (item.object()) {
        fail(format("an object of class '%s' inside a collection cannot be decoded as a plain value",
                    item.object()->className()));
        return false;
      }
      out->push_back(item.value());
    }
    return true;
  };

  if (cls->builtin && !keyed) {
    auto v = PlistNodes::scalarValue(node);
    if (v) {
      result = ArchiveObject(std::move(*v));
    } else {
      fail(format("incomprehensible archive: object %llu for key '%s' is not valid", uid, key));
    }
  } else if (cls->builtin) {
    switch (cls->builtin->kind) {
      case Builtin::Date: {
        plist_t time = plist_dict_get_item(node, "NS.time");
        auto t = time ? PlistNodes::scalarValue(time) : std::nullopt;
        if (t && (t->isDouble() || t->isInteger())) {
          result = ArchiveObject(Value(Date::fromTimeIntervalSinceReferenceDate(t->doubleValue())));
        } else {
          fail(format("incomprehensible archive: date %llu for key '%s' has no time", uid, key));
        }
        break;
      }
      case Builtin::String:
      case Builtin::Number:
      case Builtin::Data:
        // These are archived as plain property-list values, never as keyed objects.
        fail(format("incomprehensible archive: object %llu for key '%s' is not a plain value", uid, key));
        break;
      case Builtin::Null:
        result = ArchiveObject(Value());
        break;
      case Builtin::Array:
      case Builtin::MutableArray: {
        Value::Array items;
        if (plainChildren(plist_dict_get_item(node, "NS.objects"), &items)) {
          result = ArchiveObject(Value(std::move(items)));
        } else {
          fail(format("incomprehensible archive: array %llu for key '%s' is not valid", uid, key));
        }
        break;
      }
      case Builtin::Dictionary:
      case Builtin::MutableDictionary: {
        Value::Array keys;
        Value::Array values;
        const bool ok = plainChildren(plist_dict_get_item(node, "NS.keys"), &keys) &&
                        plainChildren(plist_dict_get_item(node, "NS.objects"), &values) &&
                        keys.size() == values.size();
        Value::Dictionary entries;
        bool stringKeys = ok;
        for (std::size_t i = 0; ok && i < keys.size(); ++i) {
          // Values key dictionaries by strings: an integer key reads as its decimal text.
          std::string text;
          if (const auto* s = keys[i].ifString()) {
            text = *s;
          } else if (keys[i].isInteger()) {
            text = std::to_string(keys[i].integerValue());
          } else {
            stringKeys = false;
            break;
          }
          entries[std::move(text)] = std::move(values[i]);
        }
        if (ok && stringKeys) {
          result = ArchiveObject(Value(std::move(entries)));
        } else {
          fail(format("incomprehensible archive: dictionary %llu for key '%s' is not valid", uid, key));
        }
        break;
      }
    }
  } else {
    s.containers.push_back(node);
    try {
      std::shared_ptr<Codable> object = cls->registered->initWithCoder ? cls->registered->initWithCoder(*this) : nullptr;
      if (!s.error) result = ArchiveObject(std::move(object));
    } catch (const Exception& e) {
      fail(format("decoding an object of class '%s' raised %s: %s", cls->name, e.name(), e.reason()));
    }
    s.containers.pop_back();
  }
  --s.depth;
  s.inProgress[index] = false;
  if (s.error) return {};
  s.decoded[index] = result;
  return result;
}

std::optional<Value> KeyedUnarchiver::decodeNumber(std::string_view key) {
  State& s = *s_;
  if (s.error) return std::nullopt;
  plist_t node = s.lookup(key);
  if (!node) return std::nullopt;
  const auto type = plist_get_node_type(node);
  if (type != PLIST_BOOLEAN && type != PLIST_UINT && type != PLIST_REAL) {
    fail(format("value for key '%s' is not a number", key));
    return std::nullopt;
  }
  return PlistNodes::scalarValue(node);
}

bool KeyedUnarchiver::decodeBoolForKey(std::string_view key) {
  auto v = decodeNumber(key);
  if (!v) return false;
  if (const auto* d = v->ifDouble()) return *d != 0;
  return v->boolValue();
}

std::int64_t KeyedUnarchiver::decodeInt64ForKey(std::string_view key) {
  auto v = decodeNumber(key);
  if (!v) return 0;
  if (const auto* u = v->ifUnsigned()) {
    if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      fail(format("value (%llu) for key '%s' too large to fit in a 64-bit integer", *u, key));
      return 0;
    }
    return static_cast<std::int64_t>(*u);
  }
  if (const auto* d = v->ifDouble()) {
    if (!(std::abs(*d) < 9.2e18)) {
      fail(format("value (%g) for key '%s' too large to fit in a 64-bit integer", *d, key));
      return 0;
    }
    return static_cast<std::int64_t>(*d);
  }
  return v->integerValue();
}

std::int32_t KeyedUnarchiver::decodeInt32ForKey(std::string_view key) {
  const std::int64_t v = decodeInt64ForKey(key);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
    fail(format("value (%lld) for key '%s' too large to fit in a 32-bit integer", v, key));
    return 0;
  }
  return static_cast<std::int32_t>(v);
}

int KeyedUnarchiver::decodeIntForKey(std::string_view key) { return decodeInt32ForKey(key); }
std::int64_t KeyedUnarchiver::decodeIntegerForKey(std::string_view key) { return decodeInt64ForKey(key); }

double KeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
  auto v = decodeNumber(key);
  return v ? v->doubleValue() : 0.0;
}

float KeyedUnarchiver::decodeFloatForKey(std::string_view key) { return static_cast<float>(decodeDoubleForKey(key)); }

ArchiveObject KeyedUnarchiver::unarchivedObjectOfClasses(const ClassSet& classes, const Data& data, Error* error) {
  auto unarchiver = forReadingFromData(data, error);
  if (!unarchiver) return {};
  ArchiveObject root = unarchiver->decodeObjectOfClasses(classes, kKeyedArchiveRootObjectKey);
  if (unarchiver->error()) {
    setError(error, unarchiver->error());
    return {};
  }
  return root;
}

ArchiveObject KeyedUnarchiver::unarchivedObjectOfClass(std::string_view className, const Data& data, Error* error) {
  return unarchivedObjectOfClasses(ClassSet{std::string(className)}, data, error);
}

}  // namespace platform
