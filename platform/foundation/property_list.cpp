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
      // The library holds whole seconds since the reference date in 32 bits, and the XML form
      // writes whole seconds: round to the nearest rather than let the library cut toward 2001.
      const double t = value.ifDate()->timeIntervalSinceReferenceDate();
      const double whole = std::round(t);
      if (!std::isfinite(t) || whole < std::numeric_limits<std::int32_t>::min() ||
          whole > std::numeric_limits<std::int32_t>::max()) {
        *why = "The date is outside the range a property list can hold (1933-2069).";
        return nullptr;
      }
      return Node(plist_new_date(static_cast<std::int32_t>(whole), 0));
    }
    default:
      *why = "Not a scalar value.";
      return nullptr;
  }
}

namespace {

// Calls `visit(key, item)` for each entry in order until it returns false; false then.
template <class Visit>
bool forEachEntry(plist_t dict, Visit&& visit) {
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  bool ok = true;
  while (ok) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(dict, it, &key, &item);
    if (!item) {
      std::free(key);
      break;
    }
    ok = visit(takeCString(key), item);
  }
  std::free(it);
  return ok;
}

// A reference written in XML: a dictionary holding only a non-negative "CF$UID" integer.
plist_t xmlReference(plist_t node) {
  if (plist_get_node_type(node) != PLIST_DICT || plist_dict_get_size(node) != 1) return nullptr;
  plist_t uid = plist_dict_get_item(node, "CF$UID");
  if (!uid || plist_get_node_type(uid) != PLIST_UINT) return nullptr;
  auto value = scalarValue(uid);
  if (!value || !value->isInteger() || *value->ifInteger() < 0) return nullptr;
  return plist_new_uid(static_cast<std::uint64_t>(*value->ifInteger()));
}

void resolveXMLReferences(plist_t node, std::size_t depth) {
  if (depth > kMaxDepth + 2) return;  // parse refused deeper documents already
  if (plist_get_node_type(node) == PLIST_ARRAY) {
    for (std::uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i) {
      plist_t item = plist_array_get_item(node, i);
      if (plist_t uid = xmlReference(item)) {
        plist_array_set_item(node, uid, i);
      } else {
        resolveXMLReferences(item, depth + 1);
      }
    }
  } else if (plist_get_node_type(node) == PLIST_DICT) {
    std::vector<std::pair<std::string, plist_t>> replaced;
    forEachEntry(node, [&](std::string name, plist_t item) {
      if (plist_t uid = xmlReference(item)) {
        replaced.emplace_back(std::move(name), uid);
      } else {
        resolveXMLReferences(item, depth + 1);
      }
      return true;
    });
    // Replaced after the walk: setting an item frees the node the iterator stands on.
    for (auto& [name, uid] : replaced) plist_dict_set_item(node, name.c_str(), uid);
  }
}

}  // namespace

void resolveXMLReferences(void* node) { resolveXMLReferences(static_cast<plist_t>(node), 0); }

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
      const bool ok = forEachEntry(node, [&](std::string name, plist_t item) {
        if (!strings::isValidUTF8(name)) {
          *why = "A dictionary key is not UTF-8.";
          return false;
        }
        auto v = toValue(item, depth + 1, why);
        if (!v) return false;
        entries[std::move(name)] = std::move(*v);
        return true;
      });
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
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) {
    std::string why;
    auto value = PlistNodes::readBinary(bytes, &why);
    if (!value) {
      setError(error, corruptDataError(why));
      return std::nullopt;
    }
    if (detected) *detected = Format::Binary;
    return value;
  }
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
  if (format == Format::Binary) {
    auto data = PlistNodes::writeBinary(value, &why);
    if (!data) setError(error, invalidValueError(why));
    return data;
  }
  PlistNodes::Node root = PlistNodes::fromValue(value, 0, &why);
  if (!root) {
    setError(error, invalidValueError(why));
    return std::nullopt;
  }
  char* out = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &out, &length);
  if (!out) {
    setError(error, invalidValueError("The property list could not be written."));
    return std::nullopt;
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(out);
  Data data(p, p + length);
  plist_to_xml_free(out);
  return data;
}

}  // namespace PropertyList

}  // namespace platform
