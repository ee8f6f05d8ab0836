#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/analytics/messages/message_schemas.h"
#include "sdk/analytics/messages/nano_log.h"

namespace {

std::int32_t kindOf(std::int32_t typeCode) { return typeCode & kNANOKindMask; }
bool isRepeated(std::int32_t typeCode) { return (typeCode & kNANORepeated) != 0; }

NANORepeatedHeader* headerAt(const MessageInfo* record, std::uint32_t index) {
  return static_cast<NANORepeatedHeader*>(record->fields[index]);
}

// Frees one element or singular value stored as its kind.
void freeValue(const NANOFieldSchema& field, void* value) {
  if (!value) return;
  const std::int32_t kind = kindOf(field.typeCode);
  if (kind == kNANOMessage) {
    NANODeallocMessage(*field.child, static_cast<MessageInfo*>(value));
  } else if (kind == kNANOString || kind == kNANOBytes) {
    std::free(static_cast<NANOStringValue*>(value)->data);
    std::free(value);
  } else {
    std::free(value);
  }
}

void* copyCell(const void* source, std::size_t size) {
  void* cell = std::malloc(size);
  if (cell) std::memcpy(cell, source, size);
  return cell;
}

// A deep copy of one element or singular value; null on failure.
void* copyValue(const NANOFieldSchema& field, const void* source) {
  switch (kindOf(field.typeCode)) {
    case kNANOMessage: {
      MessageInfo* child = nullptr;
      if (!NANOCopyMessageInfo(*field.child, &child, static_cast<const MessageInfo*>(source))) {
        if (child) NANODeallocMessage(*field.child, child);
        return nullptr;
      }
      return child;
    }
    case kNANOString:
    case kNANOBytes: {
      const auto* value = static_cast<const NANOStringValue*>(source);
      void* slot = nullptr;
      if (!value->data) {
        slot = std::calloc(1, sizeof(NANOStringValue));
      } else if (!NANOStoreString(&slot, value->data, value->length)) {
        return nullptr;
      }
      return slot;
    }
    case kNANOFloat:
      return copyCell(source, sizeof(float));
    default:
      return copyCell(source, 8);
  }
}

// ---- Decoding ----

pb_wire_type_t wireTypeOf(std::int32_t kind) {
  switch (kind) {
    case kNANOFloat:
      return PB_WT_32BIT;
    case kNANODouble:
      return PB_WT_64BIT;
    case kNANOString:
    case kNANOBytes:
    case kNANOMessage:
      return PB_WT_STRING;
    default:
      return PB_WT_VARINT;
  }
}

struct Decoder {
  const NANOMessageSchema& schema;
  MessageInfo* record;
  int depth;
  const char* error = nullptr;

  bool fail(const char* message) {
    error = message;
    return false;
  }
  bool streamFailure(pb_istream_t& stream) { return fail(PB_GET_ERROR(&stream)); }

  bool nextTag(pb_istream_t& stream, std::uint32_t& tag, pb_wire_type_t& wireType, bool& done) {
    bool eof = false;
    if (pb_decode_tag(&stream, &wireType, &tag, &eof)) return tag != 0 || fail("zero tag");
    if (eof) {
      done = true;
      return true;
    }
    return streamFailure(stream);
  }

  bool skip(pb_istream_t& stream, pb_wire_type_t wireType) {
    return pb_skip_field(&stream, wireType) || streamFailure(stream);
  }

  // The number of elements a packed run of a numeric kind holds.
  bool countPacked(pb_istream_t& stream, std::int32_t kind, std::uint32_t& count) {
    pb_istream_t substream;
    if (!pb_make_string_substream(&stream, &substream)) return streamFailure(stream);
    const pb_wire_type_t elementType = wireTypeOf(kind);
    std::size_t elements = 0;
    if (elementType == PB_WT_VARINT) {
      std::uint64_t ignored;
      while (substream.bytes_left > 0) {
        if (!pb_decode_varint(&substream, &ignored)) return streamFailure(substream);
        ++elements;
      }
    } else {
      const std::size_t width = elementType == PB_WT_32BIT ? 4 : 8;
      if (substream.bytes_left % width != 0) return fail("packed run of a fixed-size field has a partial element");
      elements = substream.bytes_left / width;
      if (!pb_read(&substream, nullptr, substream.bytes_left)) return streamFailure(substream);
    }
    if (!pb_close_string_substream(&stream, &substream)) return streamFailure(stream);
    if (elements > kNANOMaxRepeatedCount - count) return fail("too many elements in a repeated field");
    count += static_cast<std::uint32_t>(elements);
    return true;
  }

  // Calls `visit(index, tag, wireType)` for each field the schema lists, with the stream at its
  // value (which the visitor consumes); skips the others.
  template <class Visit>
  bool forEachField(pb_istream_t& stream, Visit visit) {
    for (;;) {
      std::uint32_t tag;
      pb_wire_type_t wireType;
      bool done = false;
      if (!nextTag(stream, tag, wireType, done)) return false;
      if (done) return true;
      const int index = schema.indexOfTag(tag);
      if (index < 0 ? !skip(stream, wireType) : !visit(index, tag, wireType)) return false;
    }
  }

  // Pass 1: checks every wire type and counts repeated elements and sub-message occurrences.
  bool count(pb_istream_t stream, std::uint32_t* counts) {
    return forEachField(stream, [&](int index, std::uint32_t, pb_wire_type_t wireType) {
      const std::int32_t typeCode = schema.fields[index].typeCode;
      const std::int32_t kind = kindOf(typeCode);
      const pb_wire_type_t expected = wireTypeOf(kind);
      if (isRepeated(typeCode) && expected != PB_WT_STRING && wireType == PB_WT_STRING) {
        return countPacked(stream, kind, counts[index]);
      }
      if (wireType != expected) return fail("wrong wire type");
      if (!skip(stream, wireType)) return false;
      if (isRepeated(typeCode) || kind == kNANOMessage) {
        if (counts[index] >= kNANOMaxRepeatedCount) return fail("too many elements in a repeated field");
        ++counts[index];
      }
      return true;
    });
  }

  bool readScalar(pb_istream_t& stream, std::int32_t kind, void** slot) {
    switch (kind) {
      case kNANOFloat: {
        float value;
        return pb_decode_fixed32(&stream, &value) ? NANOStoreFloat(slot, value) : streamFailure(stream);
      }
      case kNANODouble: {
        double value;
        return pb_decode_fixed64(&stream, &value) ? NANOStoreDouble(slot, value) : streamFailure(stream);
      }
      default: {
        std::uint64_t value;
        if (!pb_decode_varint(&stream, &value)) return streamFailure(stream);
        if (kind == kNANOBool) return NANOStoreBool(slot, value != 0);
        if (kind == kNANOEnum || kind == kNANOInt32 || kind == kNANOUInt32) {
          return NANOStoreUInt32(slot, static_cast<std::uint32_t>(value));
        }
        return NANOStoreUInt64(slot, value);
      }
    }
  }

  // A string payload into an empty slot; a slot already holding one keeps it.
  bool readString(pb_istream_t& stream, void** slot) {
    pb_istream_t substream;
    if (!pb_make_string_substream(&stream, &substream)) return streamFailure(stream);
    if (*slot) {
      if (!static_cast<NANOStringValue*>(*slot)->data) return fail("string data is NULL");
      if (!pb_read(&substream, nullptr, substream.bytes_left)) return streamFailure(substream);
      return pb_close_string_substream(&stream, &substream) || streamFailure(stream);
    }
    const std::size_t length = substream.bytes_left;
    if (length > kNANOMaxStringLength) {
      NANOPrintLine("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                static_cast<int>(kNANOMaxStringLength));
      return fail("string too long");
    }
    auto* value = static_cast<NANOStringValue*>(std::calloc(1, sizeof(NANOStringValue)));
    if (!value) return fail("out of memory");
    *slot = value;
    value->data = static_cast<std::uint8_t*>(std::malloc(length ? length : 1));
    if (!value->data) return fail("out of memory");
    value->length = static_cast<std::uint32_t>(length);
    if (!pb_read(&substream, value->data, length)) {
      std::free(value->data);
      value->data = nullptr;
      return streamFailure(substream);
    }
    return pb_close_string_substream(&stream, &substream) || streamFailure(stream);
  }

  // A fresh child record in the slot, decoded from the stream; the caller frees it on failure.
  bool decodeChild(pb_istream_t stream, const NANOMessageSchema& childSchema, void** slot) {
    MessageInfo* child = NANONewMessageInfo(childSchema);
    if (!child) return fail("Unable to initialize MessageInfo");
    *slot = child;
    Decoder inner{childSchema, child, depth + 1};
    if (inner.decode(stream)) return true;
    error = inner.error;
    return false;
  }

  bool readChild(pb_istream_t& stream, const NANOMessageSchema& childSchema, void** slot) {
    pb_istream_t substream;
    if (!pb_make_string_substream(&stream, &substream)) return streamFailure(stream);
    return decodeChild(substream, childSchema, slot) &&
           (pb_close_string_substream(&stream, &substream) || streamFailure(stream));
  }

  // A singular sub-message sent more than once is the merge of its occurrences, which is what
  // decoding their concatenation gives.
  bool readMergedChild(pb_istream_t whole, std::uint32_t tag, const NANOMessageSchema& childSchema, void** slot) {
    std::vector<pb_byte_t> joined;
    const bool scanned = forEachField(whole, [&](int, std::uint32_t found, pb_wire_type_t wireType) {
      if (found != tag) return skip(whole, wireType);
      pb_istream_t substream;
      if (!pb_make_string_substream(&whole, &substream)) return streamFailure(whole);
      const std::size_t offset = joined.size();
      joined.resize(offset + substream.bytes_left);
      if (!pb_read(&substream, joined.data() + offset, substream.bytes_left)) return streamFailure(substream);
      return pb_close_string_substream(&whole, &substream) || streamFailure(whole);
    });
    if (!scanned) return false;
    return decodeChild(pb_istream_from_buffer(joined.data(), joined.size()), childSchema, slot);
  }

  bool readRepeated(pb_istream_t& stream, const NANOFieldSchema& field, pb_wire_type_t wireType,
                    NANORepeatedHeader* header) {
    const std::int32_t kind = kindOf(field.typeCode);
    auto nextItem = [&]() -> void** {
      return header->cursor < header->count ? &header->items[header->cursor++] : nullptr;
    };
    if (kind != kNANOString && kind != kNANOBytes && kind != kNANOMessage && wireType == PB_WT_STRING) {
      pb_istream_t substream;
      if (!pb_make_string_substream(&stream, &substream)) return streamFailure(stream);
      while (substream.bytes_left > 0) {
        void** item = nextItem();
        if (!item) return fail("repeated field changed between passes");
        if (!readScalar(substream, kind, item)) return false;
      }
      return pb_close_string_substream(&stream, &substream) || streamFailure(stream);
    }
    void** item = nextItem();
    if (!item) return fail("repeated field changed between passes");
    if (kind == kNANOMessage) return readChild(stream, *field.child, item);
    if (kind == kNANOString || kind == kNANOBytes) return readString(stream, item);
    return readScalar(stream, kind, item);
  }

  bool decode(pb_istream_t stream) {
    if (depth > kNANOMaxDepth) return fail("message nested too deeply");
    std::uint32_t counts[kNANOMaxFields] = {};
    const pb_istream_t start = stream;  // buffer streams rewind by copy
    if (!count(stream, counts)) return false;
    for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
      if (!isRepeated(schema.typeCodes[i]) || counts[i] == 0) continue;
      NANORepeatedHeader* header = headerAt(record, i);
      header->items = static_cast<void**>(std::calloc(counts[i], sizeof(void*)));
      if (!header->items) return fail("Unable to allocate arrays");
      header->count = counts[i];
      header->cursor = 0;
    }
    bool merged[kNANOMaxFields] = {};
    stream = start;
    return forEachField(stream, [&](int index, std::uint32_t tag, pb_wire_type_t wireType) {
      const NANOFieldSchema& field = schema.fields[index];
      void** slot = &record->fields[index];
      const std::int32_t kind = kindOf(field.typeCode);
      bool ok;
      if (isRepeated(field.typeCode)) {
        ok = readRepeated(stream, field, wireType, headerAt(record, static_cast<std::uint32_t>(index)));
      } else if (kind == kNANOMessage && counts[index] > 1) {
        ok = (merged[index] || readMergedChild(start, tag, *field.child, slot)) && skip(stream, wireType);
        merged[index] = true;
      } else if (kind == kNANOMessage) {
        ok = readChild(stream, *field.child, slot);
      } else if (kind == kNANOString || kind == kNANOBytes) {
        ok = readString(stream, slot);
      } else {
        ok = readScalar(stream, kind, slot);
      }
      return ok;
    });
  }
};

// ---- Encoding ----

std::size_t varintSize(std::uint64_t value) {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

std::uint64_t varintOf(std::int32_t kind, const void* cell) {
  const std::uint64_t raw = *static_cast<const std::uint64_t*>(cell);
  switch (kind) {
    case kNANOBool:
      return (raw & 0xFF) != 0;
    case kNANOInt32:  // sign-extended, as every protobuf reader expects
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(raw)));
    case kNANOEnum:
      return static_cast<std::uint32_t>(raw);
    default:
      return raw;
  }
}

struct Encoder {
  std::vector<std::uint32_t> sizes;  // every message's encoded size, in the order of the write pass

  static bool fieldFailure(const NANOMessageSchema& schema, const NANOFieldSchema& field) {
    NANOPrintLine("<ERROR> %s Encoder: '%s' should have been allocated\n", schema.name, field.name);
    return false;
  }

  // Size of one value of a field, without its tag; false when it cannot be encoded.
  bool valueSize(const NANOFieldSchema& field, const void* value, std::uint64_t& size) {
    const std::int32_t kind = kindOf(field.typeCode);
    switch (kind) {
      case kNANOFloat:
        size = 4;
        return true;
      case kNANODouble:
        size = 8;
        return true;
      case kNANOString:
      case kNANOBytes: {
        const auto* string = static_cast<const NANOStringValue*>(value);
        if (!string->data) return false;
        size = varintSize(string->length) + string->length;
        return true;
      }
      case kNANOMessage: {
        std::uint64_t child = 0;
        if (!measure(*field.child, static_cast<const MessageInfo*>(value), child)) return false;
        size = varintSize(child) + child;
        return true;
      }
      default:
        size = varintSize(varintOf(kind, value));
        return true;
    }
  }

  bool measure(const NANOMessageSchema& schema, const MessageInfo* record, std::uint64_t& total) {
    const std::size_t position = sizes.size();
    sizes.push_back(0);
    total = 0;
    for (std::uint32_t n = 0; n < schema.fieldCount; ++n) {
      const std::uint8_t index = schema.tagOrder[n];
      const NANOFieldSchema& field = schema.fields[index];
      const void* slot = record->fields[index];
      const std::size_t tagSize = varintSize(std::uint64_t{field.tag} << 3);
      std::uint64_t size = 0;
      if (isRepeated(field.typeCode)) {
        const auto* header = static_cast<const NANORepeatedHeader*>(slot);
        if (!header) return fieldFailure(schema, field);
        if (header->count == 0) continue;
        if (!header->items) return fieldFailure(schema, field);
        for (std::uint32_t i = 0; i < header->count; ++i) {
          if (!header->items[i] || !valueSize(field, header->items[i], size)) return false;
          total += tagSize + size;
        }
      } else if (slot) {
        if (!valueSize(field, slot, size)) return false;
        total += tagSize + size;
      }
    }
    if (total > INT32_MAX) return false;
    sizes[position] = static_cast<std::uint32_t>(total);
    return true;
  }

  std::size_t next = 0;

  bool writeValue(pb_ostream_t& stream, const NANOFieldSchema& field, const void* value) {
    const std::int32_t kind = kindOf(field.typeCode);
    if (!pb_encode_tag(&stream, wireTypeOf(kind), field.tag)) return false;
    switch (kind) {
      case kNANOFloat:
        return pb_encode_fixed32(&stream, value);
      case kNANODouble:
        return pb_encode_fixed64(&stream, value);
      case kNANOString:
      case kNANOBytes: {
        const auto* string = static_cast<const NANOStringValue*>(value);
        return pb_encode_string(&stream, string->data, string->length);
      }
      case kNANOMessage:
        return pb_encode_varint(&stream, sizes[next]) && write(stream, *field.child, static_cast<const MessageInfo*>(value));
      default:
        return pb_encode_varint(&stream, varintOf(kind, value));
    }
  }

  bool write(pb_ostream_t& stream, const NANOMessageSchema& schema, const MessageInfo* record) {
    ++next;
    for (std::uint32_t n = 0; n < schema.fieldCount; ++n) {
      const std::uint8_t index = schema.tagOrder[n];
      const NANOFieldSchema& field = schema.fields[index];
      const void* slot = record->fields[index];
      if (isRepeated(field.typeCode)) {
        const auto* header = static_cast<const NANORepeatedHeader*>(slot);
        for (std::uint32_t i = 0; i < header->count; ++i) {
          if (!writeValue(stream, field, header->items[i])) return false;
        }
      } else if (slot && !writeValue(stream, field, slot)) {
        return false;
      }
    }
    return true;
  }
};

// Runs the encoder into whatever buffer `allocate` gives for the measured size.
template <class Allocate>
std::int32_t encodeWith(const NANOMessageSchema& schema, const MessageInfo* record, Allocate allocate) {
  if (!record || !record->fields) return -1;
  Encoder encoder;
  std::uint64_t size = 0;
  if (!encoder.measure(schema, record, size)) return -1;
  std::uint8_t* buffer = allocate(static_cast<std::size_t>(size));
  if (!buffer) return -1;
  pb_ostream_t stream = pb_ostream_from_buffer(buffer, static_cast<std::size_t>(size));
  if (!encoder.write(stream, schema, record) || stream.bytes_written != size) return -1;
  return static_cast<std::int32_t>(size);
}

}  // namespace

// ---- Records ----

bool NANOInitMessageInfo(const NANOMessageSchema& schema, MessageInfo* record) {
  if (!record) return false;
  record->name = schema.name;
  record->typeCodes = schema.typeCodes;
  // The slots and every repeated header share one block: they live and die with the record.
  const std::size_t slots = schema.fieldCount * sizeof(void*);
  record->fields = static_cast<void**>(std::calloc(1, slots + schema.repeatedCount * sizeof(NANORepeatedHeader)));
  if (!record->fields) return false;
  auto* headers = reinterpret_cast<NANORepeatedHeader*>(reinterpret_cast<char*>(record->fields) + slots);
  for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
    if (isRepeated(schema.typeCodes[i])) record->fields[i] = headers++;
  }
  return true;
}

MessageInfo* NANONewMessageInfo(const NANOMessageSchema& schema) {
  auto* record = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (record && !NANOInitMessageInfo(schema, record)) {
    std::free(record);
    return nullptr;
  }
  return record;
}

bool NANODeallocMessageField(const NANOMessageSchema& schema, MessageInfo* record, std::int32_t index) {
  if (!record || !record->fields) return false;
  if (index < 0 || static_cast<std::uint32_t>(index) >= schema.fieldCount) {
    NANOPrintLine("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", schema.name, index);
    return false;
  }
  const NANOFieldSchema& field = schema.fields[index];
  if (isRepeated(field.typeCode)) {
    NANORepeatedHeader* header = headerAt(record, static_cast<std::uint32_t>(index));
    if (!header) return false;
    if (header->items) {
      for (std::uint32_t i = 0; i < header->count; ++i) freeValue(field, header->items[i]);
    }
    NANOInitArray(header);
    return true;
  }
  freeValue(field, record->fields[index]);
  record->fields[index] = nullptr;
  return true;
}

bool NANODeallocMessage(const NANOMessageSchema& schema, MessageInfo* record) {
  if (!record) return false;
  if (record->fields) {
    for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
      if (!NANODeallocMessageField(schema, record, static_cast<std::int32_t>(i))) return false;
    }
    std::free(record->fields);
  }
  std::free(record);
  return true;
}

bool NANOCopyMessageInfo(const NANOMessageSchema& schema, MessageInfo** destination, const MessageInfo* source) {
  if (!destination || !source || !source->fields) return false;
  if (*destination) NANODeallocMessage(schema, *destination);
  *destination = NANONewMessageInfo(schema);
  MessageInfo* copy = *destination;
  if (!copy) return false;
  for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
    const NANOFieldSchema& field = schema.fields[i];
    const void* slot = source->fields[i];
    if (!slot) continue;
    if (!isRepeated(field.typeCode)) {
      copy->fields[i] = copyValue(field, slot);
      if (!copy->fields[i]) return false;
      continue;
    }
    const auto* from = static_cast<const NANORepeatedHeader*>(slot);
    if (from->count == 0 || !from->items) continue;
    NANORepeatedHeader* to = headerAt(copy, i);
    to->items = static_cast<void**>(std::calloc(from->count, sizeof(void*)));
    if (!to->items) return false;
    to->count = from->count;
    for (std::uint32_t n = 0; n < from->count; ++n) {
      if (!from->items[n]) continue;
      to->items[n] = copyValue(field, from->items[n]);
      if (!to->items[n]) return false;
    }
  }
  return true;
}

bool NANODecode(const NANOMessageSchema& schema, const std::uint8_t* bytes, std::size_t length, MessageInfo* record) {
  if (!record || !record->fields) {
    NANOPrintLine("<ERROR> %s decoder failed: message_info is NULL\n", schema.name);
    return false;
  }
  if (length > INT32_MAX || (!bytes && length > 0)) {
    NANOPrintLine("<ERROR> %s decoder failed: %s\n", schema.name, "input too large");
    return false;
  }
  for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
    if (isRepeated(schema.typeCodes[i])) NANOInitArray(headerAt(record, i));
  }
  static const pb_byte_t kNothing = 0;
  pb_istream_t stream = pb_istream_from_buffer(bytes ? bytes : &kNothing, length);
  Decoder decoder{schema, record, 0};
  if (!decoder.decode(stream)) {
    NANOPrintLine("<ERROR> %s decoder failed: %s\n", schema.name, decoder.error ? decoder.error : "(none)");
    return false;
  }
  return true;
}

std::int32_t NANOEncode(const NANOMessageSchema& schema, const MessageInfo* record, std::uint8_t** buffer) {
  if (!buffer) return -1;
  *buffer = nullptr;
  std::uint8_t* allocated = nullptr;
  const std::int32_t length = encodeWith(schema, record, [&](std::size_t size) {
    allocated = static_cast<std::uint8_t*>(std::calloc(size ? size : 1, 1));
    return allocated;
  });
  if (length < 0) {
    std::free(allocated);
    return -1;
  }
  *buffer = allocated;
  return length;
}

std::optional<platform::Data> NANOEncodeToData(const NANOMessageSchema& schema, const MessageInfo* record) {
  platform::Data data;
  static std::uint8_t empty = 0;
  const std::int32_t length = encodeWith(schema, record, [&](std::size_t size) {
    data.resize(size);
    return size ? data.data() : &empty;
  });
  if (length < 0) return std::nullopt;
  return data;
}

// ---- Shared field functions ----

void NANOInitArray(NANORepeatedHeader* header) {
  if (!header) {
    NANOPrintLine("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  std::free(header->items);
  *header = NANORepeatedHeader{};
}

void NANODeallocString(NANOStringValue* value) {
  if (!value) {
    NANOPrintLine("<ERROR> Unable to dealloc string field. String struct is NULL");
    return;
  }
  std::free(value->data);
  value->data = nullptr;
  value->length = 0;
}

namespace {

template <class T>
bool storeCell(void** slot, T value, std::size_t size, const char* what) {
  if (!slot) {
    NANOPrintLine("<ERROR> Unable to set %s. Destination pointer is NULL", what);
    return false;
  }
  if (!*slot) *slot = std::calloc(1, size);
  if (!*slot) return false;
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

}  // namespace

bool NANOStoreBool(void** slot, bool value) { return storeCell<std::uint64_t>(slot, value ? 1 : 0, 8, "bool"); }
bool NANOStoreUInt32(void** slot, std::uint32_t value) { return storeCell<std::uint64_t>(slot, value, 8, "uint32"); }
bool NANOStoreUInt64(void** slot, std::uint64_t value) { return storeCell(slot, value, 8, "uint64"); }
bool NANOStoreFloat(void** slot, float value) { return storeCell(slot, value, sizeof(float), "float"); }
bool NANOStoreDouble(void** slot, double value) { return storeCell(slot, value, 8, "double"); }

bool NANOStoreString(void** slot, const std::uint8_t* bytes, std::uint32_t length) {
  if (!slot) {
    NANOPrintLine("<ERROR> Unable to set string. Destination array is NULL");
    return false;
  }
  if (!*slot) *slot = std::calloc(1, sizeof(NANOStringValue));
  auto* value = static_cast<NANOStringValue*>(*slot);
  if (!value) return false;
  std::free(value->data);
  value->data = static_cast<std::uint8_t*>(std::calloc(std::size_t{length} + 1, 1));
  value->length = value->data ? length : 0;
  if (!value->data) return false;
  if (length) std::memcpy(value->data, bytes, length);
  return true;
}
