#include "platform/foundation/property_list.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/foundation/format.h"
#include "platform/foundation/plist_nodes.h"
#include "platform/foundation/strings.h"

namespace platform {

namespace PlistNodes {

namespace {


// Element nesting of an XML document, counted without parsing it. Comments, processing
// instructions, declarations and CDATA sections are skipped.
bool xmlDepthWithin(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t i = 0;
  auto skipPast = [&](std::string_view terminator) {
    const std::size_t at = text.find(terminator, i);
    i = at == std::string_view::npos ? text.size() : at + terminator.size();
  };
  while (i < text.size()) {
    if (text[i] != '<') {
      ++i;
      continue;
    }
    const std::string_view rest = text.substr(i);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
    } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
      skipPast(">");
    } else if (rest.starts_with("</")) {
      if (depth > 0) --depth;
      skipPast(">");
    } else {
      const std::size_t close = text.find('>', i);
      if (close == std::string_view::npos) return true;  // truncated: the parser refuses it
      if (text[close - 1] != '/' && ++depth > limit) return false;
      i = close + 1;
    }
  }
  return true;
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}

// Checks the structure of a binary property list: trailer, offset table and every container's
// references, then walks the object graph without recursion. Refuses reference cycles, nesting
// deeper than `limit`, and graphs whose shared containers would expand into far more nodes than
// the references they hold (a small file that unfolds into gigabytes).
bool binaryGraphSound(const Data& bytes, std::size_t limit, std::string* why) {
  auto refuse = [&](const char* reason) {
    *why = reason;
    return false;
  };
  const std::size_t size = bytes.size();
  if (size < 8 + 32) return refuse("The binary property list is too short.");
  const std::uint8_t* trailer = bytes.data() + size - 32;
  const std::size_t offsetSize = trailer[6];
  const std::size_t refSize = trailer[7];
  const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
  const std::uint64_t topObject = readBigEndian(trailer + 16, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) {
    return refuse("The binary property list has invalid integer sizes.");
  }
  const std::uint64_t objectArea = size - 32;
  if (objectCount == 0 || topObject >= objectCount || tableOffset < 8 || tableOffset > objectArea ||
      objectCount > (objectArea - tableOffset) / offsetSize) {
    return refuse("The binary property list has an invalid offset table.");
  }
  const auto count = static_cast<std::size_t>(objectCount);
  std::vector<std::uint64_t> offsets(count);
  for (std::size_t i = 0; i < count; ++i) {
    offsets[i] = readBigEndian(bytes.data() + tableOffset + i * offsetSize, offsetSize);
    if (offsets[i] < 8 || offsets[i] >= tableOffset) return refuse("The binary property list has an invalid offset.");
  }

  struct Container {
    std::uint64_t refsAt = 0;
    std::uint64_t refCount = 0;
  };
  // Where an object's references start and how many there are (0 for scalars).
  auto containerOf = [&](std::size_t object, Container* out) -> bool {
    std::uint64_t at = offsets[object];
    const std::uint8_t marker = bytes[at];
    const std::uint8_t kind = marker >> 4;
    if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD) {
      *out = {};
      return true;
    }
    std::uint64_t n = marker & 0x0F;
    ++at;
    if (n == 0x0F) {
      if (at >= tableOffset) return false;
      const std::uint8_t intMarker = bytes[at];
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
      const std::size_t width = std::size_t{1} << (intMarker & 0x0F);
      if (at + 1 + width > tableOffset) return false;
      n = readBigEndian(bytes.data() + at + 1, width);
      at += 1 + width;
    }
    const std::uint64_t refs = kind == 0xD ? n * 2 : n;
    if (n > tableOffset || refs > (tableOffset - at) / refSize) return false;
    *out = {at, refs};
    return true;
  };

  enum : std::uint8_t { kNew, kOpen, kDone };
  std::vector<std::uint8_t> state(count, kNew);
  std::vector<std::uint32_t> depth(count, 1);
  std::vector<std::uint64_t> expanded(count, 1);
  std::uint64_t totalRefs = 0;
  struct Frame {
    std::size_t object;
    Container container;
    std::uint64_t next;
  };
  std::vector<Frame> stack;
  auto enter = [&](std::size_t object) -> bool {
    Container c;
    if (!containerOf(object, &c)) return false;
    state[object] = kOpen;
    totalRefs += c.refCount;
    stack.push_back({object, c, 0});
    return true;
  };
  if (!enter(static_cast<std::size_t>(topObject))) return refuse("The binary property list has an invalid container.");
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
    const std::uint64_t child =
        readBigEndian(bytes.data() + frame.container.refsAt + frame.next * refSize, refSize);
    ++frame.next;
    if (child >= count) return refuse("The binary property list refers to a missing object.");
    const auto c = static_cast<std::size_t>(child);
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
  if (expanded[static_cast<std::size_t>(topObject)] > 4 * totalRefs + 1024) {
    return refuse("The binary property list shares containers too often to be expanded.");
  }
  return true;
}

std::string takeCString(char* s) {
  std::string out = s ? s : "";
  std::free(s);
  return out;
}

}  // namespace

void NodeDeleter::operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }



Node parse(const Data& bytes, Error* error, PropertyList::Format* detected) {
  if (bytes.empty()) {
    setError(error, corruptDataError("Cannot parse a NULL or zero-length data."));
    return nullptr;
  }
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    setError(error, corruptDataError("The property list is too large."));
    return nullptr;
  }
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  const auto length = static_cast<std::uint32_t>(bytes.size());
  const bool binary = bytes.size() >= 8 && std::memcmp(text, "bplist00", 8) == 0;
  plist_t root = nullptr;
  if (binary) {
    std::string why;
    if (!binaryGraphSound(bytes, kMaxDepth, &why)) {
      setError(error, corruptDataError(why));
      return nullptr;
    }
    plist_from_bin(text, length, &root);
  } else {
    // The document element and <plist> add two levels to the values' own nesting.
    if (!xmlDepthWithin(std::string_view(text, length), kMaxDepth + 2)) {
      setError(error, corruptDataError("Too many nested arrays or dictionaries."));
      return nullptr;
    }
    plist_from_xml(text, length, &root);
  }
  if (!root) {
    setError(error, corruptDataError(binary ? "The binary property list could not be read."
                                     : "The XML property list could not be read."));
    return nullptr;
  }
  if (detected) *detected = binary ? PropertyList::Format::Binary : PropertyList::Format::XML;
  return Node(root);
}

std::optional<Value> scalarValue(void* raw) {
  auto node = static_cast<plist_t>(raw);
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t bits = 0;
      plist_get_uint_val(node, &bits);
      if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(static_cast<long long>(bits));
      }
      // The library marks integers above the signed range internally and compares that mark:
      // a plain node with the same bits matches only when the stored value was negative.
      Node probe(plist_new_uint(bits));
      if (plist_compare_node_value(node, probe.get())) return Value(static_cast<long long>(bits));
      return Value(static_cast<unsigned long long>(bits));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      std::string text(s ? s : "", s ? static_cast<std::size_t>(length) : 0);
      if (!strings::isValidUTF8(text)) return std::nullopt;
      return Value(std::move(text));
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* d = plist_get_data_ptr(node, &length);
      const auto* p = reinterpret_cast<const std::uint8_t*>(d);
      return Value(p ? Data(p, p + length) : Data());
    }
    case PLIST_DATE: {
      std::int32_t sec = 0;
      std::int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // The library splits the stored seconds into a truncated whole part and the magnitude of
      // the fraction, so for dates before the reference date the fraction counts backwards.
      const double fraction = std::abs(usec) / 1e6;
      const double seconds = sec < 0 ? sec - fraction : sec + fraction;
      return Value(Date::fromTimeIntervalSinceReferenceDate(seconds));
    }
    default:
      return std::nullopt;
  }
}

Node scalarNode(const Value& value, std::string* why) {
  switch (value.type()) {
    case Value::Type::Bool:
      return Node(plist_new_bool(*value.ifBool() ? 1 : 0));
    case Value::Type::Integer:
      return Node(plist_new_uint(static_cast<std::uint64_t>(*value.ifInteger())));
    case Value::Type::Unsigned: {
      const std::uint64_t u = *value.ifUnsigned();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return Node(plist_new_uint(u));
      // Only the library's reader makes nodes that are written as unsigned above the signed range.
      const std::string xml = format("<plist><integer>%llu</integer></plist>", u);
      plist_t node = nullptr;
      plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
      if (!node || plist_get_node_type(node) != PLIST_UINT) {
        if (node) plist_free(node);
        *why = "An unsigned integer could not be represented.";
        return nullptr;
      }
      return Node(node);
    }
    case Value::Type::Double:
      return Node(plist_new_real(*value.ifDouble()));
    case Value::Type::String: {
      const std::string& s = *value.ifString();
      // The library keeps strings as C strings: a NUL would silently cut the text short.
      if (s.find('\0') != std::string::npos) {
        *why = "Strings with a NUL character cannot be written.";
        return nullptr;
      }
      if (!strings::isValidUTF8(s)) {
        *why = "Strings must be UTF-8.";
        return nullptr;
      }
      return Node(plist_new_string(s.c_str()));
    }
    case Value::Type::Data: {
      const Data& d = *value.ifData();
      static const char kEmpty = 0;
      return Node(plist_new_data(d.empty() ? &kEmpty : reinterpret_cast<const char*>(d.data()), d.size()));
    }
    case Value::Type::Date: {
      // The library holds whole seconds since the reference date in 32 bits, plus microseconds.
      const double t = value.ifDate()->timeIntervalSinceReferenceDate();
      double whole = std::floor(t);
      double micro = std::round((t - whole) * 1e6);
      if (micro >= 1e6) {
        whole += 1;
        micro = 0;
      }
      if (!std::isfinite(t) || whole < std::numeric_limits<std::int32_t>::min() ||
          whole > std::numeric_limits<std::int32_t>::max()) {
        *why = "The date is outside the range a property list can hold (1933-2069).";
        return nullptr;
      }
      return Node(plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micro)));
    }
    default:
      *why = "Not a scalar value.";
      return nullptr;
  }
}

std::optional<Value> toValue(void* raw, std::size_t depth, std::string* why) {
  auto node = static_cast<plist_t>(raw);
  if (depth > kMaxDepth) {
    *why = "Too many nested arrays or dictionaries.";
    return std::nullopt;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_ARRAY: {
      Value::Array items;
      const std::uint32_t n = plist_array_get_size(node);
      items.reserve(n);
      for (std::uint32_t i = 0; i < n; ++i) {
        auto item = toValue(plist_array_get_item(node, i), depth + 1, why);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
      }
      return Value(std::move(items));
    }
    case PLIST_DICT: {
      Value::Dictionary entries;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      while (ok) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        std::string name = takeCString(key);
        if (!strings::isValidUTF8(name)) {
          *why = "A dictionary key is not UTF-8.";
          ok = false;
          break;
        }
        auto v = toValue(item, depth + 1, why);
        if (!v) {
          ok = false;
          break;
        }
        entries[std::move(name)] = std::move(*v);
      }
      std::free(it);
      if (!ok) return std::nullopt;
      return Value(std::move(entries));
    }
    case PLIST_UID: {
      std::uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value(Value::Dictionary{{std::string(PropertyList::kUIDKey), Value(static_cast<unsigned long long>(uid))}});
    }
    default: {
      auto v = scalarValue(node);
      if (!v) *why = "The property list holds a value that is not valid.";
      return v;
    }
  }
}

Node fromValue(const Value& value, std::size_t depth, std::string* why) {
  if (depth > kMaxDepth) {
    *why = "Too many nested arrays or dictionaries.";
    return nullptr;
  }
  switch (value.type()) {
    case Value::Type::Null:
      *why = "Property lists cannot contain null.";
      return nullptr;
    case Value::Type::Array: {
      Node array(plist_new_array());
      for (const auto& item : *value.ifArray()) {
        Node child = fromValue(item, depth + 1, why);
        if (!child) return nullptr;
        plist_array_append_item(array.get(), child.release());
      }
      return array;
    }
    case Value::Type::Dictionary: {
      Node dict(plist_new_dict());
      for (const auto& [key, item] : *value.ifDictionary()) {
        if (key.find('\0') != std::string::npos || !strings::isValidUTF8(key)) {
          *why = "Dictionary keys must be UTF-8 without NUL characters.";
          return nullptr;
        }
        Node child = fromValue(item, depth + 1, why);
        if (!child) return nullptr;
        plist_dict_set_item(dict.get(), key.c_str(), child.release());
      }
      return dict;
    }
    default:
      return scalarNode(value, why);
  }
}

}  // namespace PlistNodes

namespace PropertyList {

std::optional<Value> read(const Data& bytes, Error* error, Format* detected) {
  Format format = Format::XML;
  PlistNodes::Node root = PlistNodes::parse(bytes, error, &format);
  if (!root) return std::nullopt;
  std::string why;
  auto value = PlistNodes::toValue(root.get(), 0, &why);
  if (!value) {
    setError(error, corruptDataError(why));
    return std::nullopt;
  }
  if (detected) *detected = format;
  return value;
}

std::optional<Data> write(const Value& value, Format format, Error* error) {
  std::string why;
  PlistNodes::Node root = PlistNodes::fromValue(value, 0, &why);
  if (!root) {
    setError(error, invalidValueError(why));
    return std::nullopt;
  }
  char* out = nullptr;
  std::uint32_t length = 0;
  if (format == Format::XML) {
    plist_to_xml(root.get(), &out, &length);
  } else {
    plist_to_bin(root.get(), &out, &length);
  }
  if (!out) {
    setError(error, invalidValueError("The property list could not be written."));
    return std::nullopt;
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(out);
  Data data(p, p + length);
  if (format == Format::XML) {
    plist_to_xml_free(out);
  } else {
    plist_to_bin_free(out);
  }
  return data;
}

}  // namespace PropertyList

}  // namespace platform
