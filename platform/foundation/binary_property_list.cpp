// The binary property-list format, read and written by our own bounded code rather than the
// library's: dates keep every bit of their double, and no key or string can reach a decoder that
// asserts on it. The structure check also guards the keyed archiver, which still parses with the
// library.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/foundation/plist_nodes.h"
#include "platform/foundation/strings.h"

namespace platform::PlistNodes {

namespace {

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}

enum Kind : std::uint8_t {
  kSimple = 0x0,
  kInt = 0x1,
  kReal = 0x2,
  kDate = 0x3,
  kData = 0x4,
  kASCII = 0x5,
  kUTF16 = 0x6,
  kUID = 0x8,
  kArray = 0xA,
  kSet = 0xC,
  kDict = 0xD,
};

// The trailer and offset table of a binary property list, checked, and bounded access to the
// objects they locate.
class Layout {
 public:
  bool open(const Data& bytes, std::string* why) {
    auto refuse = [&](const char* reason) {
      *why = reason;
      return false;
    };
    bytes_ = &bytes;
    const std::size_t size = bytes.size();
    if (size < 8 + 32) return refuse("The binary property list is too short.");
    const std::uint8_t* trailer = bytes.data() + size - 32;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
    top_ = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
      return refuse("The binary property list has invalid integer sizes.");
    }
    const std::uint64_t objectArea = size - 32;
    if (objectCount == 0 || top_ >= objectCount || tableOffset_ < 8 || tableOffset_ > objectArea ||
        objectCount > (objectArea - tableOffset_) / offsetSize_) {
      return refuse("The binary property list has an invalid offset table.");
    }
    offsets_.resize(static_cast<std::size_t>(objectCount));
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
      offsets_[i] = readBigEndian(bytes.data() + tableOffset_ + i * offsetSize_, offsetSize_);
      if (offsets_[i] < 8 || offsets_[i] >= tableOffset_) {
        return refuse("The binary property list has an invalid offset.");
      }
    }
    return true;
  }

  std::size_t count() const { return offsets_.size(); }
  std::size_t top() const { return static_cast<std::size_t>(top_); }
  std::uint8_t marker(std::size_t object) const { return (*bytes_)[offsets_[object]]; }

  // The element count of a counted object (data, strings, UIDs' width aside, containers) and
  // where its payload starts; false when the count runs off the object area.
  bool counted(std::size_t object, std::uint64_t* n, std::uint64_t* payload) const {
    std::uint64_t at = offsets_[object];
    std::uint64_t count = marker(object) & 0x0F;
    ++at;
    if (count == 0x0F) {
      if (at >= tableOffset_) return false;
      const std::uint8_t intMarker = (*bytes_)[at];
      if ((intMarker >> 4) != kInt || (intMarker & 0x0F) > 3) return false;
      const std::size_t width = std::size_t{1} << (intMarker & 0x0F);
      if (at + 1 + width > tableOffset_) return false;
      count = readBigEndian(bytes_->data() + at + 1, width);
      at += 1 + width;
    }
    *n = count;
    *payload = at;
    return true;
  }

  // True when `size` bytes from `at` lie inside the object area.
  bool fits(std::uint64_t at, std::uint64_t size) const { return at <= tableOffset_ && size <= tableOffset_ - at; }
  const std::uint8_t* at(std::uint64_t offset) const { return bytes_->data() + offset; }
  std::uint64_t ref(std::uint64_t refsAt, std::uint64_t i) const {
    return readBigEndian(bytes_->data() + refsAt + i * refSize_, refSize_);
  }
  std::size_t refSize() const { return refSize_; }
  std::uint64_t offset(std::size_t object) const { return offsets_[object]; }

 private:
  const Data* bytes_ = nullptr;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::vector<std::uint64_t> offsets_;
};

// The UTF-8 text of a string object. Unpaired surrogates, invalid UTF-8 in an ASCII string and,
// in a key, NUL characters are refused: the library would cut such a key, turn it into "" (so two
// keys collapse into one) or abort on it.
bool decodeString(const Layout& layout, std::size_t object, bool isKey, std::string* out, std::string* why) {
  const std::uint8_t kind = layout.marker(object) >> 4;
  std::uint64_t n = 0;
  std::uint64_t payload = 0;
  if ((kind != kASCII && kind != kUTF16) || !layout.counted(object, &n, &payload)) {
    *why = isKey ? "A dictionary key is not a string." : "The binary property list has an invalid string.";
    return false;
  }
  const std::uint64_t bytes = kind == kUTF16 ? n * 2 : n;
  if (n > std::numeric_limits<std::uint64_t>::max() / 2 || !layout.fits(payload, bytes)) {
    *why = "The binary property list has an invalid string.";
    return false;
  }
  const std::uint8_t* p = layout.at(payload);
  std::string text;
  if (kind == kASCII) {
    text.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
    if (!strings::isValidUTF8(text)) {
      *why = isKey ? "A dictionary key is not UTF-8." : "The binary property list has an invalid string.";
      return false;
    }
  } else {
    text.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint32_t c = (std::uint32_t{p[2 * i]} << 8) | p[2 * i + 1];
      if (c >= 0xDC00 && c <= 0xDFFF) c = 0xFFFFFFFF;
      if (c >= 0xD800 && c <= 0xDBFF) {
        const std::uint32_t low = i + 1 < n ? (std::uint32_t{p[2 * i + 2]} << 8) | p[2 * i + 3] : 0;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        } else {
          c = 0xFFFFFFFF;
        }
      }
      if (c == 0xFFFFFFFF) {
        *why = isKey ? "A dictionary key holds an unpaired surrogate." : "A string holds an unpaired surrogate.";
        return false;
      }
      strings::appendUTF8(text, c);
    }
  }
  if (isKey && text.find('\0') != std::string::npos) {
    *why = "A dictionary key holds a NUL character.";
    return false;
  }
  *out = std::move(text);
  return true;
}

struct Container {
  std::uint64_t refsAt = 0;
  std::uint64_t refCount = 0;
};

// Where an object's references start and how many there are (0 for scalars).
bool containerOf(const Layout& layout, std::size_t object, Container* out) {
  const std::uint8_t kind = layout.marker(object) >> 4;
  if (kind != kArray && kind != 0xB && kind != kSet && kind != kDict) {
    *out = {};
    return true;
  }
  std::uint64_t n = 0;
  std::uint64_t at = 0;
  if (!layout.counted(object, &n, &at)) return false;
  if (n > std::numeric_limits<std::uint64_t>::max() / 2) return false;
  const std::uint64_t refs = kind == kDict ? n * 2 : n;
  if (refs > std::numeric_limits<std::uint64_t>::max() / layout.refSize() || !layout.fits(at, refs * layout.refSize())) {
    return false;
  }
  *out = {at, refs};
  return true;
}

// Walks the object graph from the top without recursion. Refuses reference cycles, nesting
// deeper than `limit`, graphs whose shared containers would expand into far more nodes than the
// references they hold (a small file that unfolds into gigabytes), and dictionary keys that are
// not sound strings.
bool graphSound(const Layout& layout, std::size_t limit, std::string* why) {
  auto refuse = [&](const char* reason) {
    *why = reason;
    return false;
  };
  const std::size_t count = layout.count();
  enum : std::uint8_t { kNew, kOpen, kDone };
  std::vector<std::uint8_t> state(count, kNew);
  std::vector<std::uint32_t> depth(count, 1);
  std::vector<std::uint64_t> expanded(count, 1);
  std::uint64_t totalRefs = 0;
  struct Frame {
    std::size_t object;
    Container container;
    std::uint64_t next;
    std::uint64_t keys;  // the first `keys` references are dictionary keys
  };
  std::vector<Frame> stack;
  auto enter = [&](std::size_t object) -> bool {
    Container c;
    if (!containerOf(layout, object, &c)) return false;
    state[object] = kOpen;
    totalRefs += c.refCount;
    const bool dict = (layout.marker(object) >> 4) == kDict;
    stack.push_back({object, c, 0, dict ? c.refCount / 2 : 0});
    return true;
  };
  if (!enter(layout.top())) return refuse("The binary property list has an invalid container.");
  std::string key;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.container.refCount) {
      state[frame.object] = kDone;
      const std::size_t finished = frame.object;
      stack.pop_back();
      if (!stack.empty()) {
        const std::size_t parent = stack.back().object;
        depth[parent] = std::max(depth[parent], depth[finished] + 1);
        expanded[parent] = std::min<std::uint64_t>(expanded[parent] + expanded[finished], 1ull << 62);
      }
      continue;
    }
    const std::uint64_t child = layout.ref(frame.container.refsAt, frame.next);
    const bool isKey = frame.next < frame.keys;
    ++frame.next;
    if (child >= count) return refuse("The binary property list refers to a missing object.");
    const auto c = static_cast<std::size_t>(child);
    if (isKey && !decodeString(layout, c, true, &key, why)) return false;
    if (state[c] == kOpen) return refuse("The binary property list contains a reference cycle.");
    const std::size_t parent = frame.object;
    if (state[c] == kDone) {
      depth[parent] = std::max(depth[parent], depth[c] + 1);
      expanded[parent] = std::min<std::uint64_t>(expanded[parent] + expanded[c], 1ull << 62);
      continue;
    }
    if (stack.size() >= limit) return refuse("Too many nested arrays or dictionaries.");
    if (!enter(c)) return refuse("The binary property list has an invalid container.");
  }
  if (expanded[layout.top()] > 4 * totalRefs + 1024) {
    return refuse("The binary property list shares containers too often to be expanded.");
  }
  return true;
}

// Decodes a graph that graphSound accepted, so recursion is bounded by its depth limit.
class Decoder {
 public:
  explicit Decoder(const Layout& layout) : layout_(layout) {}

  std::optional<Value> decode(std::size_t object, std::string* why) {
    auto refuse = [&](const char* reason) -> std::optional<Value> {
      *why = reason;
      return std::nullopt;
    };
    const std::uint8_t marker = layout_.marker(object);
    const std::uint8_t kind = marker >> 4;
    const std::uint64_t at = layout_.offset(object) + 1;
    switch (kind) {
      case kSimple:
        if (marker == 0x08) return Value(false);
        if (marker == 0x09) return Value(true);
        return refuse("The property list holds a value that is not valid.");
      case kInt: {
        const std::size_t width = std::size_t{1} << (marker & 0x0F);
        if ((marker & 0x0F) > 4 || !layout_.fits(at, width)) return refuse("The binary property list has an invalid integer.");
        if (width == 16) {
          // Sixteen bytes hold the unsigned values above the signed range; the high half is zero.
          const std::uint64_t bits = readBigEndian(layout_.at(at + 8), 8);
          if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Value(static_cast<long long>(bits));
          }
          return Value(static_cast<unsigned long long>(bits));
        }
        // Up to four bytes are unsigned; eight bytes are a signed integer.
        return Value(static_cast<long long>(readBigEndian(layout_.at(at), width)));
      }
      case kReal:
      case kDate: {
        const std::size_t width = std::size_t{1} << (marker & 0x0F);
        const bool valid = kind == kDate ? marker == 0x33 : (width == 4 || width == 8);
        if (!valid || !layout_.fits(at, width)) return refuse("The binary property list has an invalid number.");
        const std::uint64_t bits = readBigEndian(layout_.at(at), width);
        double d = 0;
        if (width == 4) {
          float f = 0;
          const auto narrow = static_cast<std::uint32_t>(bits);
          std::memcpy(&f, &narrow, sizeof f);
          d = f;
        } else {
          std::memcpy(&d, &bits, sizeof d);
        }
        if (kind == kDate) return Value(Date::fromTimeIntervalSinceReferenceDate(d));
        return Value(d);
      }
      case kData: {
        std::uint64_t n = 0;
        std::uint64_t payload = 0;
        if (!layout_.counted(object, &n, &payload) || !layout_.fits(payload, n)) {
          return refuse("The binary property list has invalid data.");
        }
        return Value(Data(layout_.at(payload), layout_.at(payload) + n));
      }
      case kASCII:
      case kUTF16: {
        std::string text;
        if (!decodeString(layout_, object, false, &text, why)) return std::nullopt;
        return Value(std::move(text));
      }
      case kUID: {
        const std::size_t width = (marker & 0x0F) + 1u;
        if (width > 8 || !layout_.fits(at, width)) return refuse("The binary property list has an invalid reference.");
        return Value(Value::Dictionary{
            {std::string(PropertyList::kUIDKey), Value(static_cast<unsigned long long>(readBigEndian(layout_.at(at), width)))}});
      }
      case kArray:
      case kDict: {
        Container c;
        containerOf(layout_, object, &c);
        if (kind == kArray) {
          Value::Array items;
          items.reserve(static_cast<std::size_t>(c.refCount));
          for (std::uint64_t i = 0; i < c.refCount; ++i) {
            auto item = decode(static_cast<std::size_t>(layout_.ref(c.refsAt, i)), why);
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
          }
          return Value(std::move(items));
        }
        Value::Dictionary entries;
        const std::uint64_t n = c.refCount / 2;
        for (std::uint64_t i = 0; i < n; ++i) {
          std::string key;
          if (!decodeString(layout_, static_cast<std::size_t>(layout_.ref(c.refsAt, i)), true, &key, why)) {
            return std::nullopt;
          }
          auto item = decode(static_cast<std::size_t>(layout_.ref(c.refsAt, n + i)), why);
          if (!item) return std::nullopt;
          entries[std::move(key)] = std::move(*item);
        }
        return Value(std::move(entries));
      }
      default:
        return refuse("The property list holds a value that is not valid.");
    }
  }

 private:
  const Layout& layout_;
};

// Writes objects in the order they are numbered: each container before its contents.
class Encoder {
 public:
  std::optional<Data> encode(const Value& root, std::string* why) {
    out_.assign({'b', 'p', 'l', 'i', 's', 't', '0', '0'});
    // References are written before the objects they name exist, so their width is fixed up
    // front from the number of objects the value can need at most.
    refSize_ = bytesFor(countObjects(root, 0));
    if (!add(root, 0, why)) return std::nullopt;
    const std::uint64_t tableOffset = out_.size();
    const std::size_t offsetSize = bytesFor(tableOffset);
    for (std::uint64_t offset : offsets_) putBigEndian(offset, offsetSize);
    for (int i = 0; i < 6; ++i) out_.push_back(0);
    out_.push_back(static_cast<std::uint8_t>(offsetSize));
    out_.push_back(static_cast<std::uint8_t>(refSize_));
    putBigEndian(offsets_.size(), 8);
    putBigEndian(0, 8);
    putBigEndian(tableOffset, 8);
    return std::move(out_);
  }

 private:
  static std::size_t bytesFor(std::uint64_t n) {
    if (n <= 0xFF) return 1;
    if (n <= 0xFFFF) return 2;
    if (n <= 0xFFFFFFFF) return 4;
    return 8;
  }

  static std::uint64_t countObjects(const Value& value, std::size_t depth) {
    if (depth > kMaxDepth) return 1;
    std::uint64_t n = 1;
    if (const auto* array = value.ifArray()) {
      for (const auto& item : *array) n += countObjects(item, depth + 1);
    } else if (const auto* dict = value.ifDictionary()) {
      for (const auto& [key, item] : *dict) n += 1 + countObjects(item, depth + 1);
    }
    return n;
  }

  void putBigEndian(std::uint64_t v, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  void putHeader(std::uint8_t kind, std::uint64_t count) {
    if (count < 0x0F) {
      out_.push_back(static_cast<std::uint8_t>(kind << 4 | count));
      return;
    }
    out_.push_back(static_cast<std::uint8_t>(kind << 4 | 0x0F));
    putInteger(count);
  }

  void putInteger(std::uint64_t v) {
    const std::size_t width = bytesFor(v);
    out_.push_back(static_cast<std::uint8_t>(kInt << 4 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3)));
    putBigEndian(v, width);
  }

  void putDouble(std::uint8_t marker, double d) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof d);
    out_.push_back(marker);
    putBigEndian(bits, 8);
  }

  bool putString(const std::string& s, std::string* why) {
    // A NUL would be cut by every other reader of the file, as it is by the XML form.
    if (s.find('\0') != std::string::npos) {
      *why = "Strings with a NUL character cannot be written.";
      return false;
    }
    if (!strings::isValidUTF8(s)) {
      *why = "Strings must be UTF-8.";
      return false;
    }
    if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      putHeader(kASCII, s.size());
      out_.insert(out_.end(), s.begin(), s.end());
      return true;
    }
    const std::u16string units = strings::toUTF16(s);
    putHeader(kUTF16, units.size());
    for (char16_t u : units) putBigEndian(u, 2);
    return true;
  }

  // Numbers the object, then writes it; a container's references name the numbers its contents
  // get, which are handed out in writing order.
  bool add(const Value& value, std::size_t depth, std::string* why) {
    if (depth > kMaxDepth) {
      *why = "Too many nested arrays or dictionaries.";
      return false;
    }
    offsets_.push_back(out_.size());
    switch (value.type()) {
      case Value::Type::Null:
        *why = "Property lists cannot contain null.";
        return false;
      case Value::Type::Bool:
        out_.push_back(*value.ifBool() ? 0x09 : 0x08);
        return true;
      case Value::Type::Integer: {
        const long long v = *value.ifInteger();
        if (v >= 0 && v <= 0xFFFFFFFFLL) {
          putInteger(static_cast<std::uint64_t>(v));
        } else {
          out_.push_back(kInt << 4 | 3);
          putBigEndian(static_cast<std::uint64_t>(v), 8);
        }
        return true;
      }
      case Value::Type::Unsigned: {
        const unsigned long long u = *value.ifUnsigned();
        if (u <= 0xFFFFFFFFULL) {
          putInteger(u);
        } else if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          out_.push_back(kInt << 4 | 3);
          putBigEndian(u, 8);
        } else {
          out_.push_back(kInt << 4 | 4);
          putBigEndian(0, 8);
          putBigEndian(u, 8);
        }
        return true;
      }
      case Value::Type::Double:
        putDouble(kReal << 4 | 3, *value.ifDouble());
        return true;
      case Value::Type::Date: {
        const double t = value.ifDate()->timeIntervalSinceReferenceDate();
        if (!std::isfinite(t)) {
          *why = "The date is outside the range a property list can hold.";
          return false;
        }
        putDouble(kDate << 4 | 3, t);
        return true;
      }
      case Value::Type::Data: {
        const Data& d = *value.ifData();
        putHeader(kData, d.size());
        out_.insert(out_.end(), d.begin(), d.end());
        return true;
      }
      case Value::Type::String:
        return putString(*value.ifString(), why);
      case Value::Type::Array: {
        const auto& items = *value.ifArray();
        putHeader(kArray, items.size());
        const std::size_t refsAt = reserveRefs(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
          setRef(refsAt, i, offsets_.size());
          if (!add(items[i], depth + 1, why)) return false;
        }
        return true;
      }
      case Value::Type::Dictionary: {
        const auto& entries = *value.ifDictionary();
        putHeader(kDict, entries.size());
        const std::size_t n = entries.size();
        const std::size_t refsAt = reserveRefs(2 * n);
        std::size_t i = 0;
        for (const auto& [key, item] : entries) {
          setRef(refsAt, i, offsets_.size());
          offsets_.push_back(out_.size());
          if (!putString(key, why)) {
            *why = "Dictionary keys must be UTF-8 without NUL characters.";
            return false;
          }
          setRef(refsAt, n + i, offsets_.size());
          if (!add(item, depth + 1, why)) return false;
          ++i;
        }
        return true;
      }
    }
    *why = "Not a property-list value.";
    return false;
  }

  std::size_t reserveRefs(std::size_t n) {
    const std::size_t at = out_.size();
    out_.resize(at + n * refSize_);
    return at;
  }

  void setRef(std::size_t refsAt, std::size_t i, std::uint64_t object) {
    for (std::size_t b = 0; b < refSize_; ++b) {
      out_[refsAt + i * refSize_ + b] = static_cast<std::uint8_t>(object >> (8 * (refSize_ - 1 - b)));
    }
  }

  Data out_;
  std::vector<std::uint64_t> offsets_;
  std::size_t refSize_ = 1;
};

}  // namespace

bool binaryGraphSound(const Data& bytes, std::size_t limit, std::string* why) {
  Layout layout;
  return layout.open(bytes, why) && graphSound(layout, limit, why);
}

std::optional<Value> readBinary(const Data& bytes, std::string* why) {
  Layout layout;
  if (!layout.open(bytes, why) || !graphSound(layout, kMaxDepth, why)) return std::nullopt;
  return Decoder(layout).decode(layout.top(), why);
}

std::optional<Data> writeBinary(const Value& value, std::string* why) { return Encoder().encode(value, why); }

}  // namespace platform::PlistNodes
