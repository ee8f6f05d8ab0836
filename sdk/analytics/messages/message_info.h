// The one in-memory record of every analytics wire message: a slot per field, the message's type
// codes and its name. Generic code reads and writes any message through it by field index; the
// schema of each message (message_schemas.h) says what every slot holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/foundation/value.h"

struct MessageInfo {
  void** fields;                  // one slot per field, null when a singular field is absent
  const std::int32_t* typeCodes;  // shared by every record of the message type
  const char* name;
};

// Type codes: one cardinality bit and one kind bit.
inline constexpr std::int32_t kNANOSingular = 0x02;
inline constexpr std::int32_t kNANORepeated = 0x08;
inline constexpr std::int32_t kNANOBool = 0x20;
inline constexpr std::int32_t kNANOEnum = 0x40;
inline constexpr std::int32_t kNANOInt32 = 0x80;
inline constexpr std::int32_t kNANOUInt32 = 0x100;
inline constexpr std::int32_t kNANOInt64 = 0x200;
inline constexpr std::int32_t kNANOUInt64 = 0x400;
inline constexpr std::int32_t kNANOFloat = 0x800;
inline constexpr std::int32_t kNANODouble = 0x1000;
inline constexpr std::int32_t kNANOString = 0x2000;
inline constexpr std::int32_t kNANOMessage = 0x4000;
inline constexpr std::int32_t kNANOBytes = 0x8000;
inline constexpr std::int32_t kNANOKindMask = 0xFFE0;

// A string or bytes value. A present value always has a data buffer, also when its length is 0.
// The buffer belongs to the value and may share its block: release it with NANODeallocString (or
// the record functions), never with free.
struct NANOStringValue {
  std::uint32_t length;
  std::uint8_t* data;
};

// What the slot of a repeated field points to: items[i] points to element i, stored as the
// singular kind is stored (a cell, a string value or a child record).
struct NANORepeatedHeader {
  std::uint32_t cursor;  // the next item to fill while decoding
  std::uint32_t count;
  void** items;
};

struct NANOMessageSchema;

// Limits on what a decoder accepts from outside.
inline constexpr int kNANOMaxDepth = 100;
inline constexpr std::uint32_t kNANOMaxRepeatedCount = 1u << 20;
inline constexpr std::size_t kNANOMaxStringLength = 0x100000;

// The record functions of one message type, as the wrappers hand them to generic code.
using NANOInitMessageInfoFn = bool (*)(MessageInfo* messageInfo);
using NANODeallocMessageFieldFn = bool (*)(MessageInfo* messageInfo, std::int32_t index);
using NANOCopyMessageInfoFn = bool (*)(MessageInfo** destination, const MessageInfo* source);

// The generic record engine; every function takes the schema of the record's message.
bool NANOInitMessageInfo(const NANOMessageSchema& schema, MessageInfo* messageInfo);
// A fresh empty record on the heap, or null.
MessageInfo* NANONewMessageInfo(const NANOMessageSchema& schema);
bool NANODeallocMessageField(const NANOMessageSchema& schema, MessageInfo* messageInfo, std::int32_t index);
// Frees every field, the slots and the record itself.
bool NANODeallocMessage(const NANOMessageSchema& schema, MessageInfo* messageInfo);
// Frees *destination (when set) and puts a deep copy of source there.
bool NANOCopyMessageInfo(const NANOMessageSchema& schema, MessageInfo** destination, const MessageInfo* source);
// Decodes into a freshly initialised record. On failure the record may be partly filled: the
// caller frees it.
bool NANODecode(const NANOMessageSchema& schema, const std::uint8_t* bytes, std::size_t length,
                MessageInfo* messageInfo);
// The encoding in a malloc'd buffer (freed by the caller) and its length, or -1 and no buffer.
std::int32_t NANOEncode(const NANOMessageSchema& schema, const MessageInfo* messageInfo, std::uint8_t** buffer);
std::optional<platform::Data> NANOEncodeToData(const NANOMessageSchema& schema, const MessageInfo* messageInfo);

// Shared field functions.
void NANOInitArray(NANORepeatedHeader* header);
void NANODeallocString(NANOStringValue* value);
bool NANOStoreBool(void** slot, bool value);
bool NANOStoreUInt32(void** slot, std::uint32_t value);
bool NANOStoreUInt64(void** slot, std::uint64_t value);
bool NANOStoreFloat(void** slot, float value);
bool NANOStoreDouble(void** slot, double value);
// Deep copy of bytes into a slot's string value, with one NUL after the counted bytes.
bool NANOStoreString(void** slot, const std::uint8_t* bytes, std::uint32_t length);
