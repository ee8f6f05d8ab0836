#include "sdk/analytics/messages/nano_accessors.h"

#include <cstdlib>
#include <cstring>

#include "sdk/analytics/messages/nano_log.h"
#include "platform/foundation/strings.h"

namespace {

// The record of an initialised wrapper, or null after printing the operation's line.
MessageInfo* recordOf(const NANOMessageBase* message, const char* operation) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (!record || !record->fields) {
    NANOLogLine("ProtocolBuffer message hasn't been initialized. %s can't be performed", operation);
    return nullptr;
  }
  return record;
}

bool validIndex(const NANOMessageBase* message, std::int32_t index) {
  return index >= 0 && static_cast<std::uint32_t>(index) < message->messageSchema().fieldCount;
}

// The record when the field is a singular field of one of `kinds`; else prints `mismatch`.
MessageInfo* singularField(const NANOMessageBase* message, std::int32_t index, const char* operation,
                           std::int32_t kinds, const char* mismatch) {
  MessageInfo* record = recordOf(message, operation);
  if (!record) return nullptr;
  if (!validIndex(message, index) || (record->typeCodes[index] & kNANORepeated) ||
      !(record->typeCodes[index] & kinds)) {
    NANOLogLine("<Nano/Failure> Field type isn't a scalar %s. Message: %s, field ID: %d", mismatch, record->name, index);
    return nullptr;
  }
  return record;
}

MessageInfo* repeatedField(const NANOMessageBase* message, std::int32_t index, const char* operation) {
  MessageInfo* record = recordOf(message, operation);
  if (!record) return nullptr;
  if (!validIndex(message, index) || !(record->typeCodes[index] & kNANORepeated)) {
    NANOLogLine("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", record->name, index);
    return nullptr;
  }
  if (!record->fields[index]) {
    NANOLogLine("<ERROR> Repeated field should have been allocated");
    return nullptr;
  }
  return record;
}

std::uint64_t cellOf(const MessageInfo* record, std::int32_t index) {
  const void* cell = record->fields[index];
  return cell ? *static_cast<const std::uint64_t*>(cell) : 0;
}

std::optional<std::string> stringOf(const void* slot) {
  const auto* value = static_cast<const NANOStringValue*>(slot);
  if (!value || !value->data) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(value->data), value->length);
  if (!platform::strings::isValidUTF8(text)) return std::nullopt;
  return text;
}

// The platform's class name of a value, for the element lines.
std::string classNameOf(const NANOArrayElement& element) {
  if (auto* wrapper = std::get_if<std::shared_ptr<NANOMessageBase>>(&element)) {
    return *wrapper ? std::string("APMPB") + (*wrapper)->messageID() : "nil";
  }
  switch (std::get<platform::Value>(element).type()) {
    case platform::Value::Type::Null: return "NSNull";
    case platform::Value::Type::Bool:
    case platform::Value::Type::Integer:
    case platform::Value::Type::Unsigned:
    case platform::Value::Type::Double: return "NSNumber";
    case platform::Value::Type::String: return "NSString";
    case platform::Value::Type::Data: return "NSData";
    case platform::Value::Type::Date: return "NSDate";
    case platform::Value::Type::Array: return "NSArray";
    case platform::Value::Type::Dictionary: return "NSDictionary";
  }
  return "NSObject";
}

const platform::Value* valueOf(const NANOArrayElement& element) { return std::get_if<platform::Value>(&element); }


// Stores one element into an empty item slot by the field's kind; false (after its line) when
// the element does not fit.
bool storeElement(const NANOFieldSchema& field, const NANOArrayElement& element, void** item) {
  const std::int32_t typeCode = field.typeCode;
  const platform::Value* value = valueOf(element);
  const bool number = value && value->isNumber();
  auto refuse = [&](const char* kind, const char* expected) {
    NANOLogLine("<ERROR> Invalid object type. %s fields expect %s. Type: %s", kind, expected,
            classNameOf(element).c_str());
    return false;
  };
  if (typeCode & kNANOBool) return number ? NANOStoreBool(item, value->boolValue()) : refuse("Boolean", "NSNumber");
  if (typeCode & (kNANOInt32 | kNANOUInt32)) {
    return number ? NANOStoreUInt32(item, static_cast<std::uint32_t>(value->integerValue())) : refuse("Int32", "NSNumber");
  }
  if (typeCode & (kNANOInt64 | kNANOUInt64)) {
    return number ? NANOStoreUInt64(item, static_cast<std::uint64_t>(value->integerValue())) : refuse("Int64", "NSNumber");
  }
  if (typeCode & kNANOFloat) {
    return number ? NANOStoreFloat(item, static_cast<float>(value->doubleValue())) : refuse("Float", "NSNumber");
  }
  if (typeCode & kNANODouble) return number ? NANOStoreDouble(item, value->doubleValue()) : refuse("Double", "NSNumber");
  if (typeCode & kNANOEnum) {
    return number ? NANOStoreUInt32(item, static_cast<std::uint32_t>(value->integerValue())) : refuse("Enum", "NSNumber");
  }
  if (typeCode & (kNANOString | kNANOBytes)) {
    const bool string = typeCode & kNANOString;
    if (!value || !(string ? value->isString() : value->isData())) {
      return string ? refuse("String", "NSString") : refuse("Bytes", "NSData");
    }
    *item = std::calloc(1, sizeof(NANOStringValue));
    auto* stored = static_cast<NANOStringValue*>(*item);
    return stored && (string ? NANOCopyNSString(*value, stored) : NANOCopyNSData(*value, stored));
  }
  if (typeCode & kNANOMessage) {
    auto* wrapper = std::get_if<std::shared_ptr<NANOMessageBase>>(&element);
    // An element of another message type would be read with the wrong schema later.
    if (!wrapper || !*wrapper || !(*wrapper)->messageInfo() || !field.child ||
        std::strcmp((*wrapper)->messageID(), field.child->name) != 0) {
      return refuse("Message", "NANOMessageBase");
    }
    auto** record = reinterpret_cast<MessageInfo**>(item);
    return (*wrapper)->copyMessageInfoFn()(record, (*wrapper)->messageInfo());
  }
  NANOLogLine("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d", typeCode);
  return false;
}

}  // namespace

bool NANOHasField(const NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (!record || !record->fields) {
    NANOLogLine("ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. Message name %s",
            message ? message->messageID() : "(null)");
    return false;
  }
  if (!validIndex(message, index)) return false;
  return (record->typeCodes[index] & kNANORepeated) || record->fields[index] != nullptr;
}

void NANOClearField(NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = recordOf(message, "ClearField");
  if (record) message->deallocMessageFieldFn()(record, index);
}

bool NANOGetBool(const NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = singularField(message, index, "GetBool", kNANOBool, "BOOL");
  return record && (cellOf(record, index) & 0xFF) != 0;
}

void NANOSetBool(NANOMessageBase* message, std::int32_t index, bool value) {
  if (MessageInfo* record = singularField(message, index, "SetBool", kNANOBool, "BOOL")) {
    NANOStoreUInt32(&record->fields[index], value ? 1 : 0);
  }
}

constexpr std::int32_t k32BitKinds = kNANOEnum | kNANOInt32 | kNANOUInt32;
constexpr std::int32_t k64BitKinds = kNANOInt64 | kNANOUInt64;

std::int32_t NANOGetInt32(const NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = singularField(message, index, "GetInt32", k32BitKinds, "INT32");
  return record ? static_cast<std::int32_t>(static_cast<std::uint32_t>(cellOf(record, index))) : 0;
}

void NANOSetInt32(NANOMessageBase* message, std::int32_t index, std::int32_t value) {
  if (MessageInfo* record = singularField(message, index, "SetInt32", k32BitKinds, "INT32")) {
    NANOStoreUInt32(&record->fields[index], static_cast<std::uint32_t>(value));
  }
}

std::int64_t NANOGetInt64(const NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = singularField(message, index, "GetInt64", k64BitKinds, "INT64");
  return record ? static_cast<std::int64_t>(cellOf(record, index)) : 0;
}

void NANOSetInt64(NANOMessageBase* message, std::int32_t index, std::int64_t value) {
  if (MessageInfo* record = singularField(message, index, "SetInt64", k64BitKinds, "INT64")) {
    NANOStoreUInt64(&record->fields[index], static_cast<std::uint64_t>(value));
  }
}

double NANOGetDouble(const NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = singularField(message, index, "GetDouble", kNANODouble, "DOUBLE");
  if (!record || !record->fields[index]) return 0.0;
  double value;
  std::memcpy(&value, record->fields[index], sizeof value);
  return value;
}

void NANOSetDouble(NANOMessageBase* message, std::int32_t index, double value) {
  if (MessageInfo* record = singularField(message, index, "SetDouble", kNANODouble, "DOUBLE")) {
    NANOStoreDouble(&record->fields[index], value);
  }
}

std::optional<std::string> NANOGetString(const NANOMessageBase* message, std::int32_t index) {
  MessageInfo* record = singularField(message, index, "GetString", kNANOString, "STRING");
  return record ? stringOf(record->fields[index]) : std::nullopt;
}

void NANOSetString(NANOMessageBase* message, std::int32_t index, std::optional<std::string_view> value) {
  MessageInfo* record = singularField(message, index, "SetString", kNANOString, "STRING");
  if (!record) return;
  if (!value) {
    message->deallocMessageFieldFn()(record, index);
    return;
  }
  void** slot = &record->fields[index];
  if (!*slot) *slot = std::calloc(1, sizeof(NANOStringValue));
  auto* stored = static_cast<NANOStringValue*>(*slot);
  if (!stored) return;
  NANODeallocString(stored);
  NANOCopyNSString(platform::Value(*value), stored);
}

std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, std::int32_t index,
                                                NANOMessageFactory factory) {
  MessageInfo* record = singularField(message, index, "GetMessage", kNANOMessage, "MESSAGE");
  if (!record || !record->fields[index]) return nullptr;
  if (!factory) {
    NANOLogLine("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s", "nil");
    return nullptr;
  }
  return factory(static_cast<const MessageInfo*>(record->fields[index]));
}

void NANOSetMessage(NANOMessageBase* message, std::int32_t index, const NANOMessageBase* value) {
  MessageInfo* record = singularField(message, index, "SetMessage", kNANOMessage, "MESSAGE");
  if (!record) return;
  const NANOMessageSchema* child = message->messageSchema().fields[index].child;
  // A record of another message type would be read with the wrong schema later.
  if (value && (!value->messageInfo() || std::strcmp(value->messageID(), child->name) != 0)) {
    NANOLogLine("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: APMPB%s", value->messageID());
    return;
  }
  message->deallocMessageFieldFn()(record, index);
  if (!value) return;
  MessageInfo* copy = nullptr;
  if (!value->copyMessageInfoFn()(&copy, value->messageInfo())) {
    if (copy) NANODeallocMessage(*child, copy);
    return;
  }
  record->fields[index] = copy;
}

std::optional<std::vector<NANOArrayElement>> NANOGetArray(const NANOMessageBase* message, std::int32_t index,
                                                          NANOMessageFactory factory) {
  MessageInfo* record = repeatedField(message, index, "GetArray");
  if (!record) return std::nullopt;
  const auto* header = static_cast<const NANORepeatedHeader*>(record->fields[index]);
  std::vector<NANOArrayElement> elements;
  if (!header->items) return elements;
  elements.reserve(header->count);
  const std::int32_t typeCode = record->typeCodes[index];
  for (std::uint32_t i = 0; i < header->count; ++i) {
    const void* item = header->items[i];
    if (!item) {
      NANOLogLine("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    const auto cell = *static_cast<const std::uint64_t*>(item);
    if (typeCode & kNANOBool) {
      elements.emplace_back(platform::Value((cell & 0xFF) != 0));
    } else if (typeCode & kNANOInt32) {
      elements.emplace_back(platform::Value(static_cast<std::int32_t>(cell)));
    } else if (typeCode & kNANOUInt32) {
      elements.emplace_back(platform::Value(static_cast<std::uint32_t>(cell)));
    } else if (typeCode & kNANOInt64) {
      elements.emplace_back(platform::Value(static_cast<long long>(cell)));
    } else if (typeCode & kNANOUInt64) {
      elements.emplace_back(platform::Value(static_cast<unsigned long long>(cell)));
    } else if (typeCode & kNANOFloat) {
      float value;
      std::memcpy(&value, item, sizeof value);
      elements.emplace_back(platform::Value(value));
    } else if (typeCode & kNANODouble) {
      double value;
      std::memcpy(&value, item, sizeof value);
      elements.emplace_back(platform::Value(value));
    } else if (typeCode & kNANOEnum) {
      elements.emplace_back(platform::Value(static_cast<std::int32_t>(cell)));
    } else if (typeCode & kNANOString) {
      if (auto text = stringOf(item)) elements.emplace_back(platform::Value(std::move(*text)));
    } else if (typeCode & kNANOBytes) {
      const auto* value = static_cast<const NANOStringValue*>(item);
      if (value->data) elements.emplace_back(platform::Value(platform::Data(value->data, value->data + value->length)));
    } else if (typeCode & kNANOMessage) {
      if (!factory) {
        NANOLogLine("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s", "nil");
        continue;
      }
      if (auto wrapper = factory(static_cast<const MessageInfo*>(item))) elements.emplace_back(std::move(wrapper));
    } else {
      NANOLogLine("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d", typeCode);
    }
  }
  return elements;
}

std::optional<platform::Value::Array> NANOGetArray(const NANOMessageBase* message, std::int32_t index) {
  auto elements = NANOGetArray(message, index, nullptr);
  if (!elements) return std::nullopt;
  platform::Value::Array values;
  values.reserve(elements->size());
  for (auto& element : *elements) {
    if (auto* value = std::get_if<platform::Value>(&element)) values.push_back(std::move(*value));
  }
  return values;
}

void NANOSetArray(NANOMessageBase* message, std::int32_t index, const std::vector<NANOArrayElement>* elements) {
  MessageInfo* record = repeatedField(message, index, "SetArray");
  if (!record) return;
  const NANODeallocMessageFieldFn clear = message->deallocMessageFieldFn();
  clear(record, index);
  if (!elements || elements->empty()) return;
  auto* header = static_cast<NANORepeatedHeader*>(record->fields[index]);
  header->items = static_cast<void**>(std::calloc(elements->size(), sizeof(void*)));
  if (!header->items) {
    NANOLogLine("<ERROR> Unable to set NULL data to an ObjC object");
    return;
  }
  header->count = static_cast<std::uint32_t>(elements->size());
  for (std::size_t i = 0; i < elements->size(); ++i) {
    if (!storeElement(message->messageSchema().fields[index], (*elements)[i], &header->items[i])) {
      // A bad element leaves the field empty, never partly filled.
      clear(record, index);
      return;
    }
  }
}

void NANOSetArray(NANOMessageBase* message, std::int32_t index, const platform::Value& array) {
  if (!array.isArray()) {
    NANOSetArray(message, index, nullptr);
    return;
  }
  std::vector<NANOArrayElement> elements(array.ifArray()->begin(), array.ifArray()->end());
  NANOSetArray(message, index, &elements);
}

namespace {

bool copyBytes(const std::uint8_t* bytes, std::size_t length, NANOStringValue* value) {
  if (length > UINT32_MAX) return false;
  // A present value always has a buffer, also for no bytes.
  value->data = static_cast<std::uint8_t*>(std::malloc(length + 1));
  if (!value->data) return false;
  value->length = static_cast<std::uint32_t>(length);
  if (length) std::memcpy(value->data, bytes, length);
  return true;
}

}  // namespace

bool NANOCopyNSString(const platform::Value& string, NANOStringValue* value) {
  if (string.isNull()) return true;
  if (!string.isString() || !value) return false;
  const std::string& text = *string.ifString();
  return copyBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), value);
}

bool NANOCopyNSData(const platform::Value& data, NANOStringValue* value) {
  if (data.isNull()) return true;
  if (!data.isData() || !value) return false;
  return copyBytes(data.ifData()->data(), data.ifData()->size(), value);
}
