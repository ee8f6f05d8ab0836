// The object wrappers of the analytics messages: each owns one record and is the reference-counted
// object the engine keeps, builds from bytes and turns back into bytes. Field access goes through
// the accessors by field index (nano_accessors.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/foundation/value.h"
#include "sdk/analytics/messages/message_info.h"
#include "sdk/analytics/messages/message_schemas.h"

class NANOMessageBase {
 public:
  virtual ~NANOMessageBase();
  NANOMessageBase(const NANOMessageBase&) = delete;
  NANOMessageBase& operator=(const NANOMessageBase&) = delete;

  // The message name ("Event"), also the record's name.
  const char* messageID() const { return schema_->name; }
  // The owned record (not a copy); null only when making an empty record failed.
  MessageInfo* messageInfo() const { return messageInfo_; }
  const NANOMessageSchema& messageSchema() const { return *schema_; }
  // The encoding of the message; nothing when encoding fails.
  std::optional<platform::Data> protoBuffer() const;

  virtual NANOInitMessageInfoFn initMessageInfoFn() const = 0;
  virtual NANODeallocMessageFieldFn deallocMessageFieldFn() const = 0;
  virtual NANOCopyMessageInfoFn copyMessageInfoFn() const = 0;

 protected:
  // An empty message.
  explicit NANOMessageBase(const NANOMessageSchema& schema);
  // Replaces the record by a deep copy of `source`, which must be of this message type.
  bool copyFrom(const MessageInfo* source);
  // Replaces the record by the decoding of `data` (none: an empty message).
  bool decodeFrom(const platform::Data* data);

 private:
  const NANOMessageSchema* schema_;
  MessageInfo* messageInfo_ = nullptr;
};

template <const NANOMessageSchema* Schema>
struct NANORecordFunctions {
  static bool initMessageInfo(MessageInfo* messageInfo) { return NANOInitMessageInfo(*Schema, messageInfo); }
  static bool deallocMessageField(MessageInfo* messageInfo, std::int32_t index) {
    return NANODeallocMessageField(*Schema, messageInfo, index);
  }
  static bool copyMessageInfo(MessageInfo** destination, const MessageInfo* source) {
    return NANOCopyMessageInfo(*Schema, destination, source);
  }
};

// What every generated wrapper class is made of; only the message differs.
template <class Self, const NANOMessageSchema* Schema>
class NANOMessage : public NANOMessageBase {
 public:
  NANOMessage() : NANOMessageBase(*Schema) {}

  static const NANOMessageSchema& schema() { return *Schema; }

  // A deep copy of `messageInfo` (the caller keeps it), or an empty message when it is null;
  // nothing when the record is of another message type or copying fails.
  static std::shared_ptr<Self> initWithMessageInfo(const MessageInfo* messageInfo = nullptr) {
    auto message = std::make_shared<Self>();
    if (!message->messageInfo()) return nullptr;
    if (messageInfo && !message->copyFrom(messageInfo)) return nullptr;
    return message;
  }
  // The decoding of `data`; nothing when the bytes are not a valid encoding. No data: empty.
  static std::shared_ptr<Self> initWithBuffer(const platform::Data* data) {
    auto message = std::make_shared<Self>();
    if (!message->decodeFrom(data)) return nullptr;
    return message;
  }
  static std::shared_ptr<Self> initWithBuffer(const platform::Data& data) { return initWithBuffer(&data); }

  NANOInitMessageInfoFn initMessageInfoFn() const override { return &NANORecordFunctions<Schema>::initMessageInfo; }
  NANODeallocMessageFieldFn deallocMessageFieldFn() const override {
    return &NANORecordFunctions<Schema>::deallocMessageField;
  }
  NANOCopyMessageInfoFn copyMessageInfoFn() const override { return &NANORecordFunctions<Schema>::copyMessageInfo; }
};
