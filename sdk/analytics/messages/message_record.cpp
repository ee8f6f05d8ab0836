#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sdk/analytics/messages/message_schemas.h"
#include "sdk/analytics/messages/nano_log.h"

namespace {

std::int32_t kindOf(std::int32_t typeCode) { return typeCode & kNANOKindMask; }
bool isRepeated(std::int32_t typeCode) { return (typeCode & kNANORepeated) != 0; }

NANORepeatedHeader* headerAt(const MessageInfo* record, std::uint32_t index) {
  return static_cast<NANORepeatedHeader*>(record->fields[index]);
}

// Decoded strings carry their bytes in the block of the value itself, one allocation instead of
// two; only bytes held apart are freed apart.
std::uint8_t* inlineBytesOf(NANOStringValue* value) { return reinterpret_cast<std::uint8_t*>(value + 1); }

void freeStringBytes(NANOStringValue* value) {
  if (value->data != inlineBytesOf(value)) std::free(value->data);
  value->data = nullptr;
  value->length = 0;
}

// The slots and every repeated header share one block: they live and die with the record.
std::size_t slotBlockSize(const NANOMessageSchema& schema) {
  return schema.fieldCount * sizeof(void*) + schema.repeatedCount * sizeof(NANORepeatedHeader);
}

void placeSlots(const NANOMessageSchema& schema, MessageInfo* record, void* block) {
  record->name = schema.name;
  record->typeCodes = schema.typeCodes;
  record->fields = static_cast<void**>(block);
  auto* headers = reinterpret_cast<NANORepeatedHeader*>(record->fields + schema.fieldCount);
  for (std::uint32_t i = 0, placed = 0; placed < schema.repeatedCount; ++i) {
    if (isRepeated(schema.typeCodes[i])) record->fields[i] = &headers[placed++];
  }
}

// Records made by NANONewMessageInfo carry that block in their own, followed by an 8-byte cell
// per singular number that decoding fills: one allocation per record instead of one per value.
// Such cells go with the record; only cells held apart are freed apart.
constexpr std::size_t kCellSize = 8;

void** inlineSlotsOf(MessageInfo* record) { return reinterpret_cast<void**>(record + 1); }

std::uint8_t* inlineCellsOf(const NANOMessageSchema& schema, MessageInfo* record) {
  if (record->fields != inlineSlotsOf(record)) return nullptr;
  return reinterpret_cast<std::uint8_t*>(record->fields) + slotBlockSize(schema);
}

bool isInlineCell(const NANOMessageSchema& schema, MessageInfo* record, const void* value) {
  const std::uint8_t* cells = inlineCellsOf(schema, record);
  const auto at = reinterpret_cast<std::uintptr_t>(value), first = reinterpret_cast<std::uintptr_t>(cells);
  return cells && at >= first && at < first + schema.numberCount * kCellSize;
}

// Frees one element or singular value stored as its kind.
void freeValue(const NANOFieldSchema& field, void* value) {
  if (!value) return;
  const std::int32_t kind = kindOf(field.typeCode);
  if (kind == kNANOMessage) {
    NANODeallocMessage(*field.child, static_cast<MessageInfo*>(value));
  } else if (kind == kNANOString || kind == kNANOBytes) {
    freeStringBytes(static_cast<NANOStringValue*>(value));
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

// ---- Wire format ----

// Wire types of the encoding; groups (3, 4) are refused like any other unknown type.
enum WireType : std::uint8_t { kWireVarint = 0, kWireFixed64 = 1, kWireLength = 2, kWireFixed32 = 5 };

WireType wireTypeOf(std::int32_t kind) {
  switch (kind) {
    case kNANOFloat:
      return kWireFixed32;
    case kNANODouble:
      return kWireFixed64;
    case kNANOString:
    case kNANOBytes:
    case kNANOMessage:
      return kWireLength;
    default:
      return kWireVarint;
  }
}

bool isLengthKind(std::int32_t kind) { return wireTypeOf(kind) == kWireLength; }

// A cursor over bytes from outside: every read checks the end first and says why it failed.
struct WireReader {
  const std::uint8_t* at;
  const std::uint8_t* end;
  const char* error = nullptr;

  bool empty() const { return at == end; }
  std::size_t left() const { return static_cast<std::size_t>(end - at); }
  bool fail(const char* message) {
    error = message;
    return false;
  }

  bool varint(std::uint64_t& value) {
    if (at != end && *at < 0x80) {
      value = *at++;
      return true;
    }
    std::uint64_t result = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (at == end) return fail("truncated varint");
      const std::uint8_t byte = *at++;
      // The tenth byte holds the 64th bit only: anything more would be dropped silently.
      if (shift == 63 && byte > 1) return fail("varint overflow");
      result |= std::uint64_t{byte & 0x7Fu} << shift;
      if (byte < 0x80) break;
    }
    value = result;
    return true;
  }

  template <std::size_t Width>
  bool fixed(void* value) {
    if (left() < Width) return fail("truncated fixed-size value");
    std::memcpy(value, at, Width);
    at += Width;
    return true;
  }

  bool key(std::uint32_t& tag, WireType& wireType) {
    std::uint64_t raw;
    if (!varint(raw)) return false;
    if (raw > UINT32_MAX) return fail("varint overflow");
    tag = static_cast<std::uint32_t>(raw >> 3);
    wireType = static_cast<WireType>(raw & 7);
    return tag != 0 || fail("zero tag");
  }

  // The payload of a length-delimited value, which the cursor then steps over.
  bool payload(WireReader& inner) {
    std::uint64_t length;
    if (!varint(length)) return false;
    if (length > left()) return fail("length past the end");
    inner = WireReader{at, at + length};
    at += length;
    return true;
  }

  bool skip(WireType wireType) {
    std::uint64_t ignored;
    WireReader inner;
    switch (wireType) {
      case kWireVarint:
        return varint(ignored);
      case kWireFixed64:
        return left() >= 8 ? (at += 8, true) : fail("truncated fixed-size value");
      case kWireFixed32:
        return left() >= 4 ? (at += 4, true) : fail("truncated fixed-size value");
      case kWireLength:
        return payload(inner);
    }
    return fail("invalid wire type");
  }
};

// ---- Decoding ----

template <std::size_t Size, class T>
bool storeDecoded(void** slot, T value) {
  static_assert(sizeof(T) == Size);
  if (!*slot) *slot = std::malloc(Size);
  if (!*slot) return false;
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

// An element of a repeated field met while decoding. Elements wait on one stack shared by the
// whole decoding until their message ends and its arrays can be made at their size.
struct PendingItem {
  std::uint32_t index;
  void* value;
};

struct Decoder {
  std::vector<PendingItem>& pending;
  const char* error = nullptr;

  bool fail(const char* message) {
    error = message;
    return false;
  }
  bool failWith(const WireReader& reader) { return fail(reader.error); }

  // Calls `visit(index, tag, wireType)` for each field the schema lists, with the reader at its
  // value (which the visitor consumes); skips the others.
  template <class Visit>
  bool forEachField(const NANOMessageSchema& schema, WireReader& reader, Visit visit) {
    while (!reader.empty()) {
      std::uint32_t tag;
      WireType wireType;
      if (!reader.key(tag, wireType)) return failWith(reader);
      const int index = schema.indexOfTag(tag);
      if (index < 0) {
        if (!reader.skip(wireType)) return failWith(reader);
      } else if (!visit(index, tag, wireType)) {
        return false;
      }
    }
    return true;
  }

  bool readScalar(WireReader& reader, std::int32_t kind, void** slot) {
    bool stored;
    if (kind == kNANOFloat) {
      float value;
      if (!reader.fixed<4>(&value)) return failWith(reader);
      stored = storeDecoded<sizeof(float)>(slot, value);
    } else if (kind == kNANODouble) {
      double value;
      if (!reader.fixed<8>(&value)) return failWith(reader);
      stored = storeDecoded<8>(slot, value);
    } else {
      std::uint64_t value;
      if (!reader.varint(value)) return failWith(reader);
      if (kind == kNANOBool) {
        stored = storeDecoded<8>(slot, std::uint64_t{value != 0});
      } else if (kind == kNANOEnum || kind == kNANOInt32 || kind == kNANOUInt32) {
        stored = storeDecoded<8>(slot, std::uint64_t{static_cast<std::uint32_t>(value)});
      } else {
        stored = storeDecoded<8>(slot, value);
      }
    }
    return stored || fail("out of memory");
  }

  // A string payload into an empty slot; a slot already holding one keeps it.
  bool readString(WireReader& reader, void** slot) {
    WireReader payload;
    if (!reader.payload(payload)) return failWith(reader);
    if (*slot) return static_cast<NANOStringValue*>(*slot)->data || fail("string data is NULL");
    const std::size_t length = payload.left();
    if (length > kNANOMaxStringLength) {
      NANOPrintLine("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                    static_cast<int>(kNANOMaxStringLength));
      return fail("string too long");
    }
    auto* value = static_cast<NANOStringValue*>(std::malloc(sizeof(NANOStringValue) + length + 1));
    if (!value) return fail("out of memory");
    value->data = inlineBytesOf(value);
    value->length = static_cast<std::uint32_t>(length);
    if (length) std::memcpy(value->data, payload.at, length);
    value->data[length] = 0;
    *slot = value;
    return true;
  }

  // A fresh child record in the slot, decoded from the reader; the caller frees it on failure.
  bool decodeChild(WireReader reader, const NANOMessageSchema& childSchema, void** slot, int depth) {
    MessageInfo* child = NANONewMessageInfo(childSchema);
    if (!child) return fail("Unable to initialize MessageInfo");
    *slot = child;
    return decode(childSchema, child, reader, depth + 1);
  }

  bool readChild(WireReader& reader, const NANOMessageSchema& childSchema, void** slot, int depth) {
    WireReader payload;
    if (!reader.payload(payload)) return failWith(reader);
    return decodeChild(payload, childSchema, slot, depth);
  }

  // A singular sub-message sent more than once is the merge of its occurrences, which is what
  // decoding their concatenation gives.
  bool readMergedChild(const NANOMessageSchema& schema, WireReader whole, std::uint32_t tag, void** slot, int depth) {
    std::vector<std::uint8_t> joined;
    const bool scanned = forEachField(schema, whole, [&](int, std::uint32_t found, WireType wireType) {
      if (found != tag) return whole.skip(wireType) || failWith(whole);
      WireReader payload;
      if (!whole.payload(payload)) return failWith(whole);
      joined.insert(joined.end(), payload.at, payload.end);
      return true;
    });
    if (!scanned) return false;
    const NANOMessageSchema& childSchema = *schema.fields[schema.indexOfTag(tag)].child;
    return decodeChild(WireReader{joined.data(), joined.data() + joined.size()}, childSchema, slot, depth);
  }

  // One element, or a packed run of them, onto the pending stack.
  bool readRepeated(WireReader& reader, const NANOFieldSchema& field, std::uint32_t index, WireType wireType,
                    std::uint32_t& count, int depth) {
    const std::int32_t kind = kindOf(field.typeCode);
    auto readOne = [&](WireReader& from, auto read) {
      if (count >= kNANOMaxRepeatedCount) return fail("too many elements in a repeated field");
      void* item = nullptr;
      const bool ok = read(from, &item);
      if (item) {
        pending.push_back({index, item});
        ++count;
      }
      return ok;
    };
    if (!isLengthKind(kind) && wireType == kWireLength) {
      WireReader run;
      if (!reader.payload(run)) return failWith(reader);
      if (kind == kNANOFloat || kind == kNANODouble) {
        const std::size_t width = kind == kNANOFloat ? 4 : 8;
        if (run.left() % width != 0) return fail("packed run of a fixed-size field has a partial element");
      }
      while (!run.empty()) {
        if (!readOne(run, [&](WireReader& from, void** item) { return readScalar(from, kind, item); })) return false;
      }
      return true;
    }
    if (wireType != wireTypeOf(kind)) return fail("wrong wire type");
    return readOne(reader, [&](WireReader& from, void** item) {
      if (kind == kNANOMessage) return readChild(from, *field.child, item, depth);
      if (kind == kNANOString || kind == kNANOBytes) return readString(from, item);
      return readScalar(from, kind, item);
    });
  }

  // Moves the pending elements of one message into its arrays, also after a failure so that
  // freeing the record frees them.
  bool settle(const NANOMessageSchema& schema, MessageInfo* record, std::size_t base, const std::uint32_t* counts) {
    bool allocated = true;
    for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
      if (counts[i] == 0) continue;
      NANORepeatedHeader* header = headerAt(record, i);
      header->items = static_cast<void**>(std::malloc(counts[i] * sizeof(void*)));
      allocated = allocated && header->items;
      header->count = header->items ? counts[i] : 0;
      header->cursor = 0;
    }
    for (std::size_t n = base; n < pending.size(); ++n) {
      NANORepeatedHeader* header = headerAt(record, pending[n].index);
      if (header->cursor < header->count) {
        header->items[header->cursor++] = pending[n].value;
      } else {
        freeValue(schema.fields[pending[n].index], pending[n].value);
      }
    }
    pending.resize(base);
    return allocated || fail("Unable to allocate arrays");
  }

  bool decode(const NANOMessageSchema& schema, MessageInfo* record, WireReader reader, int depth) {
    if (depth > kNANOMaxDepth) return fail("message nested too deeply");
    std::uint32_t counts[kNANOMaxFields];
    std::fill_n(counts, schema.fieldCount, 0u);
    std::uint64_t merged = 0;  // a bit per field index
    const std::size_t base = pending.size();
    const WireReader start = reader;
    std::uint8_t* const cells = inlineCellsOf(schema, record);
    const bool decoded = forEachField(schema, reader, [&](int index, std::uint32_t tag, WireType wireType) {
      const NANOFieldSchema& field = schema.fields[index];
      const std::int32_t kind = kindOf(field.typeCode);
      if (isRepeated(field.typeCode)) {
        return readRepeated(reader, field, static_cast<std::uint32_t>(index), wireType, counts[index], depth);
      }
      if (wireType != wireTypeOf(kind)) return fail("wrong wire type");
      void** slot = &record->fields[index];
      if (kind == kNANOMessage) {
        if (!*slot) return readChild(reader, *field.child, slot, depth);
        const std::uint64_t bit = std::uint64_t{1} << index;
        if (!(merged & bit)) {
          merged |= bit;
          freeValue(field, *slot);
          *slot = nullptr;
          if (!readMergedChild(schema, start, tag, slot, depth)) return false;
        }
        return reader.skip(wireType) || failWith(reader);
      }
      if (kind == kNANOString || kind == kNANOBytes) return readString(reader, slot);
      if (!*slot && cells) *slot = cells + schema.numberRank[index] * kCellSize;
      return readScalar(reader, kind, slot);
    });
    const bool settled = settle(schema, record, base, counts);
    return decoded && settled;
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
  std::uint64_t raw;
  std::memcpy(&raw, cell, sizeof raw);
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

// A growing malloc'd buffer the encoding is written into in one pass over the record: a
// sub-message's length goes before it once it is known, moving the sub-message up when the length
// takes more than the one byte kept for it.
class WireOutput {
 public:
  WireOutput() = default;
  WireOutput(const WireOutput&) = delete;
  WireOutput& operator=(const WireOutput&) = delete;
  ~WireOutput() { std::free(buffer_); }

  std::size_t size() const { return size_; }
  const std::uint8_t* data() const { return buffer_; }
  // Hands the buffer (never null, also when empty) to the caller.
  std::uint8_t* release() {
    if (!buffer_ && !reserve(1)) return nullptr;
    return std::exchange(buffer_, nullptr);
  }

  bool varint(std::uint64_t value) {
    if (!reserve(10)) return false;
    while (value >= 0x80) {
      buffer_[size_++] = static_cast<std::uint8_t>(value | 0x80);
      value >>= 7;
    }
    buffer_[size_++] = static_cast<std::uint8_t>(value);
    return true;
  }
  bool bytes(const void* source, std::size_t length) {
    if (!reserve(length)) return false;
    if (length) std::memcpy(buffer_ + size_, source, length);
    size_ += length;
    return true;
  }

  // Starts a length-delimited value; returns where its payload begins.
  bool open(std::size_t& start) {
    if (!reserve(1)) return false;
    start = ++size_;
    return true;
  }
  bool close(std::size_t start) {
    const std::size_t length = size_ - start;
    const std::size_t lengthSize = varintSize(length);
    if (lengthSize > 1) {
      if (!reserve(lengthSize - 1)) return false;
      std::memmove(buffer_ + start + lengthSize - 1, buffer_ + start, length);
      size_ += lengthSize - 1;
    }
    std::uint8_t* at = buffer_ + start - 1;
    std::uint64_t value = length;
    while (value >= 0x80) {
      *at++ = static_cast<std::uint8_t>(value | 0x80);
      value >>= 7;
    }
    *at = static_cast<std::uint8_t>(value);
    return true;
  }

 private:
  // Room for `more` bytes; an encoding is at most INT32_MAX bytes long.
  bool reserve(std::size_t more) {
    if (capacity_ - size_ >= more) return true;
    if (more > static_cast<std::size_t>(INT32_MAX) + 10 - size_) return false;
    std::size_t capacity = capacity_ ? capacity_ * 2 : 256;
    while (capacity - size_ < more) capacity *= 2;
    auto* grown = static_cast<std::uint8_t*>(std::realloc(buffer_, capacity));
    if (!grown) return false;
    buffer_ = grown;
    capacity_ = capacity;
    return true;
  }

  std::uint8_t* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct Encoder {
  WireOutput& out;

  static bool fieldFailure(const NANOMessageSchema& schema, const NANOFieldSchema& field) {
    NANOPrintLine("<ERROR> %s Encoder: '%s' should have been allocated\n", schema.name, field.name);
    return false;
  }

  bool writeValue(const NANOFieldSchema& field, const void* value) {
    const std::int32_t kind = kindOf(field.typeCode);
    if (!out.varint((std::uint64_t{field.tag} << 3) | wireTypeOf(kind))) return false;
    switch (kind) {
      case kNANOFloat:
        return out.bytes(value, 4);
      case kNANODouble:
        return out.bytes(value, 8);
      case kNANOString:
      case kNANOBytes: {
        const auto* string = static_cast<const NANOStringValue*>(value);
        return string->data && out.varint(string->length) && out.bytes(string->data, string->length);
      }
      case kNANOMessage: {
        std::size_t start;
        return out.open(start) && write(*field.child, static_cast<const MessageInfo*>(value)) && out.close(start);
      }
      default:
        return out.varint(varintOf(kind, value));
    }
  }

  bool write(const NANOMessageSchema& schema, const MessageInfo* record) {
    for (std::uint32_t n = 0; n < schema.fieldCount; ++n) {
      const std::uint8_t index = schema.tagOrder[n];
      const NANOFieldSchema& field = schema.fields[index];
      const void* slot = record->fields[index];
      if (isRepeated(field.typeCode)) {
        const auto* header = static_cast<const NANORepeatedHeader*>(slot);
        if (!header) return fieldFailure(schema, field);
        if (header->count == 0) continue;
        if (!header->items) return fieldFailure(schema, field);
        for (std::uint32_t i = 0; i < header->count; ++i) {
          if (!header->items[i] || !writeValue(field, header->items[i])) return false;
        }
      } else if (slot && !writeValue(field, slot)) {
        return false;
      }
    }
    return true;
  }
};

bool encodeInto(const NANOMessageSchema& schema, const MessageInfo* record, WireOutput& out) {
  return record && record->fields && Encoder{out}.write(schema, record) && out.size() <= INT32_MAX;
}

}  // namespace

// ---- Records ----

bool NANOInitMessageInfo(const NANOMessageSchema& schema, MessageInfo* record) {
  if (!record) return false;
  void* block = std::calloc(1, slotBlockSize(schema));
  if (!block) return false;
  placeSlots(schema, record, block);
  return true;
}

MessageInfo* NANONewMessageInfo(const NANOMessageSchema& schema) {
  static_assert(sizeof(MessageInfo) % alignof(NANORepeatedHeader) == 0);
  // Cells are written before they are pointed to: only the slots need clearing.
  auto* record = static_cast<MessageInfo*>(
      std::malloc(sizeof(MessageInfo) + slotBlockSize(schema) + schema.numberCount * kCellSize));
  if (!record) return nullptr;
  std::memset(inlineSlotsOf(record), 0, slotBlockSize(schema));
  placeSlots(schema, record, inlineSlotsOf(record));
  return record;
}

namespace {

bool releaseField(const NANOMessageSchema& schema, MessageInfo* record, std::uint32_t index) {
  void*& slot = record->fields[index];
  const NANOFieldSchema& field = schema.fields[index];
  if (isRepeated(schema.typeCodes[index])) {
    auto* header = static_cast<NANORepeatedHeader*>(slot);
    if (!header) return false;
    if (header->items) {
      for (std::uint32_t i = 0; i < header->count; ++i) freeValue(field, header->items[i]);
    }
    NANOInitArray(header);
    return true;
  }
  if (slot && !isInlineCell(schema, record, slot)) freeValue(field, slot);
  slot = nullptr;
  return true;
}

}  // namespace

bool NANODeallocMessageField(const NANOMessageSchema& schema, MessageInfo* record, std::int32_t index) {
  if (!record || !record->fields) return false;
  if (index < 0 || static_cast<std::uint32_t>(index) >= schema.fieldCount) {
    NANOPrintLine("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", schema.name, index);
    return false;
  }
  return releaseField(schema, record, static_cast<std::uint32_t>(index));
}

bool NANODeallocMessage(const NANOMessageSchema& schema, MessageInfo* record) {
  if (!record) return false;
  if (record->fields) {
    for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
      if (!releaseField(schema, record, i)) return false;
    }
    if (record->fields != inlineSlotsOf(record)) std::free(record->fields);
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
  // Kept per thread between decodings (decoding calls nothing that could decode again), so that
  // a decoding allocates only what it returns; a stack grown by a huge message is given back.
  thread_local std::vector<PendingItem> pending;
  Decoder decoder{pending};
  struct Trim {
    ~Trim() {
      pending.clear();
      if (pending.capacity() > 4096) pending.shrink_to_fit();
    }
  } trim;
  if (!decoder.decode(schema, record, WireReader{bytes, bytes + length}, 0)) {
    NANOPrintLine("<ERROR> %s decoder failed: %s\n", schema.name, decoder.error ? decoder.error : "(none)");
    return false;
  }
  return true;
}

std::int32_t NANOEncode(const NANOMessageSchema& schema, const MessageInfo* record, std::uint8_t** buffer) {
  if (!buffer) return -1;
  *buffer = nullptr;
  WireOutput out;
  if (!encodeInto(schema, record, out)) return -1;
  const auto length = static_cast<std::int32_t>(out.size());
  *buffer = out.release();
  return *buffer ? length : -1;
}

std::optional<platform::Data> NANOEncodeToData(const NANOMessageSchema& schema, const MessageInfo* record) {
  WireOutput out;
  if (!encodeInto(schema, record, out)) return std::nullopt;
  return platform::Data(out.data(), out.data() + out.size());
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
  freeStringBytes(value);
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
  freeStringBytes(value);
  value->data = static_cast<std::uint8_t*>(std::calloc(std::size_t{length} + 1, 1));
  value->length = value->data ? length : 0;
  if (!value->data) return false;
  if (length) std::memcpy(value->data, bytes, length);
  return true;
}
