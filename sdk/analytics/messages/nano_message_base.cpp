#include "sdk/analytics/messages/nano_message_base.h"

#include <cstring>

NANOMessageBase::NANOMessageBase(const NANOMessageSchema& schema)
    : schema_(&schema), messageInfo_(NANONewMessageInfo(schema)) {}

NANOMessageBase::~NANOMessageBase() {
  if (messageInfo_) NANODeallocMessage(*schema_, messageInfo_);
}

std::optional<platform::Data> NANOMessageBase::protoBuffer() const {
  if (!messageInfo_) return std::nullopt;
  return NANOEncodeToData(*schema_, messageInfo_);
}

bool NANOMessageBase::copyFrom(const MessageInfo* source) {
  if (!source || !source->name || std::strcmp(source->name, schema_->name) != 0) return false;
  return NANOCopyMessageInfo(*schema_, &messageInfo_, source);
}

bool NANOMessageBase::decodeFrom(const platform::Data* data) {
  // Decoding always targets a fresh record; a failed one is dropped whole.
  MessageInfo* decoded = NANONewMessageInfo(*schema_);
  if (!decoded) return false;
  if (!NANODecode(*schema_, data ? data->data() : nullptr, data ? data->size() : 0, decoded)) {
    NANODeallocMessage(*schema_, decoded);
    return false;
  }
  if (messageInfo_) NANODeallocMessage(*schema_, messageInfo_);
  messageInfo_ = decoded;
  return true;
}
