// Reading and writing message fields by field index. Every accessor checks the field's type code
// against the operation and prints a fixed line, doing nothing, when it does not match or the
// message is missing; none throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/analytics/messages/apmpb_messages.h"

bool NANOHasField(const NANOMessageBase* message, std::int32_t index);
void NANOClearField(NANOMessageBase* message, std::int32_t index);

bool NANOGetBool(const NANOMessageBase* message, std::int32_t index);
void NANOSetBool(NANOMessageBase* message, std::int32_t index, bool value);
// enum, int32 and uint32 fields.
std::int32_t NANOGetInt32(const NANOMessageBase* message, std::int32_t index);
void NANOSetInt32(NANOMessageBase* message, std::int32_t index, std::int32_t value);
// int64 and uint64 fields.
std::int64_t NANOGetInt64(const NANOMessageBase* message, std::int32_t index);
void NANOSetInt64(NANOMessageBase* message, std::int32_t index, std::int64_t value);
double NANOGetDouble(const NANOMessageBase* message, std::int32_t index);
void NANOSetDouble(NANOMessageBase* message, std::int32_t index, double value);
// Nothing when absent or not valid UTF-8.
std::optional<std::string> NANOGetString(const NANOMessageBase* message, std::int32_t index);
// Nothing clears the field.
void NANOSetString(NANOMessageBase* message, std::int32_t index, std::optional<std::string_view> value);

// Makes a wrapper of a record (a deep copy), or nothing when the record is of another type.
using NANOMessageFactory = std::shared_ptr<NANOMessageBase> (*)(const MessageInfo* messageInfo);
template <class T>
std::shared_ptr<NANOMessageBase> NANOFactoryOf(const MessageInfo* messageInfo) {
  return T::initWithMessageInfo(messageInfo);
}

std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, std::int32_t index,
                                                NANOMessageFactory factory);
// A new wrapper of class T holding a deep copy of the sub-message, or nothing when it is absent.
template <class T>
std::shared_ptr<T> NANOGetMessage(const NANOMessageBase* message, std::int32_t index) {
  return std::static_pointer_cast<T>(NANOGetMessage(message, index, &NANOFactoryOf<T>));
}
// Stores a deep copy of `value`; nothing makes the field absent.
void NANOSetMessage(NANOMessageBase* message, std::int32_t index, const NANOMessageBase* value);

// An element of a repeated field: a number, string or data value, or a message wrapper.
using NANOArrayElement = std::variant<platform::Value, std::shared_ptr<NANOMessageBase>>;

// The elements of a repeated field in order, each a copy; message elements are made by
// `factory` (without one they are skipped). Nothing when the field is not repeated.
std::optional<std::vector<NANOArrayElement>> NANOGetArray(const NANOMessageBase* message, std::int32_t index,
                                                          NANOMessageFactory factory);
// The elements of a repeated number, string or bytes field as values.
std::optional<platform::Value::Array> NANOGetArray(const NANOMessageBase* message, std::int32_t index);
// The elements of a repeated message field as wrappers of class T.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> NANOGetArray(const NANOMessageBase* message, std::int32_t index) {
  auto elements = NANOGetArray(message, index, &NANOFactoryOf<T>);
  if (!elements) return std::nullopt;
  std::vector<std::shared_ptr<T>> wrappers;
  wrappers.reserve(elements->size());
  for (auto& element : *elements) {
    if (auto* wrapper = std::get_if<std::shared_ptr<NANOMessageBase>>(&element)) {
      wrappers.push_back(std::static_pointer_cast<T>(std::move(*wrapper)));
    }
  }
  return wrappers;
}

// Replaces a repeated field by the elements (converted by the field's kind); nothing empties it.
// An element that does not fit the field's kind leaves the field empty.
void NANOSetArray(NANOMessageBase* message, std::int32_t index, const std::vector<NANOArrayElement>* elements);
// Numbers, strings or data from an array value; null empties the field.
void NANOSetArray(NANOMessageBase* message, std::int32_t index, const platform::Value& array);
template <class T>
void NANOSetArray(NANOMessageBase* message, std::int32_t index, const std::vector<std::shared_ptr<T>>& wrappers) {
  std::vector<NANOArrayElement> elements(wrappers.begin(), wrappers.end());
  NANOSetArray(message, index, &elements);
}

// Fills a string value with the UTF-8 bytes of a string, or the bytes of data; false when the
// value is of another kind. A null value stores nothing and succeeds.
bool NANOCopyNSString(const platform::Value& string, NANOStringValue* value);
bool NANOCopyNSData(const platform::Value& data, NANOStringValue* value);
