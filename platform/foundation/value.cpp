#include "platform/foundation/value.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

namespace platform {

namespace {

const char* skipSpace(const char* p, const char* end) {
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// The leading integer of a string, clamped to the int64 range; 0 when there is none.
std::int64_t parseLeadingInteger(const std::string& s) {
  const char* p = skipSpace(s.data(), s.data() + s.size());
  const char* end = s.data() + s.size();
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  // Accumulate as a negative number so INT64_MIN is representable.
  std::int64_t value = 0;
  for (; p < end && std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    const int digit = *p - '0';
    if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) {
      return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max() : -value;
}

double parseLeadingDouble(const std::string& s) {
  const char* begin = skipSpace(s.data(), s.data() + s.size());
  const char* end = s.data() + s.size();
  if (begin < end && *begin == '+') ++begin;
  double d = 0;
  auto [ptr, ec] = std::from_chars(begin, end, d);
  if (ec == std::errc::result_out_of_range) {
    const bool negative = begin < end && *begin == '-';
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  return ec == std::errc() ? d : 0.0;
}

std::int64_t clampToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::string describeDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  if (d == std::floor(d) && std::fabs(d) < 1e15) {
    return std::to_string(static_cast<std::int64_t>(d));
  }
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, ec == std::errc() ? ptr : buf);
}

// Inside collections the platform quotes strings that are not plain words.
std::string quotedIfNeeded(const std::string& s) {
  bool plain = !s.empty();
  for (unsigned char c : s) {
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':')) plain = false;
  }
  if (plain) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

void describe(const Value& v, int indent, bool nested, std::string& out) {
  const std::string pad(static_cast<std::size_t>(indent) * 4, ' ');
  const std::string innerPad(static_cast<std::size_t>(indent + 1) * 4, ' ');
  switch (v.type()) {
    case Value::Type::String:
      out += nested ? quotedIfNeeded(*v.ifString()) : *v.ifString();
      return;
    case Value::Type::Array: {
      const auto& items = *v.ifArray();
      out += "(\n";
      for (std::size_t i = 0; i < items.size(); ++i) {
        out += innerPad;
        describe(items[i], indent + 1, true, out);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      out += pad + ")";
      return;
    }
    case Value::Type::Dictionary: {
      out += "{\n";
      for (const auto& [key, value] : *v.ifDictionary()) {
        out += innerPad + quotedIfNeeded(key) + " = ";
        describe(value, indent + 1, true, out);
        out += ";\n";
      }
      out += pad + "}";
      return;
    }
    default:
      out += v.description();
  }
}

std::size_t combine(std::size_t seed, std::size_t h) { return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2)); }

}  // namespace

bool Value::isNumber() const {
  switch (type()) {
    case Type::Bool:
    case Type::Integer:
    case Type::Unsigned:
    case Type::Double:
      return true;
    default:
      return false;
  }
}

const Value::Array* Value::ifArray() const {
  auto p = std::get_if<std::shared_ptr<Array>>(&v_);
  return p ? p->get() : nullptr;
}

const Value::Dictionary* Value::ifDictionary() const {
  auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
  return p ? p->get() : nullptr;
}

Value::Array* Value::mutableArray() {
  auto p = std::get_if<std::shared_ptr<Array>>(&v_);
  if (!p) return nullptr;
  if (p->use_count() > 1) *p = std::make_shared<Array>(**p);
  return p->get();
}

Value::Dictionary* Value::mutableDictionary() {
  auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
  if (!p) return nullptr;
  if (p->use_count() > 1) *p = std::make_shared<Dictionary>(**p);
  return p->get();
}

bool Value::boolValue() const {
  switch (type()) {
    case Type::Bool:
      return *ifBool();
    case Type::Integer:
      return *ifInteger() != 0;
    case Type::Unsigned:
      return *ifUnsigned() != 0;
    case Type::Double:
      return *ifDouble() != 0.0;
    case Type::String: {
      // "Y", "y", "T", "t" or a digit 1-9 after optional space, sign and zeros.
      const std::string& s = *ifString();
      const char* end = s.data() + s.size();
      const char* p = skipSpace(s.data(), end);
      if (p < end && (*p == '+' || *p == '-')) ++p;
      while (p < end && *p == '0') ++p;
      if (p == end) return false;
      const char c = *p;
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default:
      return false;
  }
}

std::int64_t Value::integerValue() const {
  switch (type()) {
    case Type::Bool:
      return *ifBool() ? 1 : 0;
    case Type::Integer:
      return *ifInteger();
    case Type::Unsigned:
      return static_cast<std::int64_t>(*ifUnsigned());
    case Type::Double:
      return clampToInt64(*ifDouble());
    case Type::String:
      return parseLeadingInteger(*ifString());
    default:
      return 0;
  }
}

std::uint64_t Value::unsignedValue() const {
  switch (type()) {
    case Type::Unsigned:
      return *ifUnsigned();
    case Type::Double: {
      const double d = *ifDouble();
      if (std::isnan(d) || d <= 0) return static_cast<std::uint64_t>(clampToInt64(d));
      if (d >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
      return static_cast<std::uint64_t>(d);
    }
    default:
      return static_cast<std::uint64_t>(integerValue());
  }
}

double Value::doubleValue() const {
  switch (type()) {
    case Type::Bool:
      return *ifBool() ? 1.0 : 0.0;
    case Type::Integer:
      return static_cast<double>(*ifInteger());
    case Type::Unsigned:
      return static_cast<double>(*ifUnsigned());
    case Type::Double:
      return *ifDouble();
    case Type::String:
      return parseLeadingDouble(*ifString());
    default:
      return 0.0;
  }
}

std::string Value::stringValue() const {
  if (auto s = ifString()) return *s;
  if (isNumber()) return description();
  return {};
}

const std::string& Value::string(const std::string& fallback) const {
  auto s = ifString();
  return s ? *s : fallback;
}

const Value::Array& Value::arrayOrEmpty() const {
  // Never destroyed: a worker may still read values while the process exits.
  static const Array* const empty = new Array;
  auto a = ifArray();
  return a ? *a : *empty;
}

const Value::Dictionary& Value::dictionaryOrEmpty() const {
  // Never destroyed: a worker may still read values while the process exits.
  static const Dictionary* const empty = new Dictionary;
  auto d = ifDictionary();
  return d ? *d : *empty;
}

const Value& Value::operator[](std::string_view key) const {
  if (auto d = ifDictionary()) {
    auto it = d->find(key);
    if (it != d->end()) return it->second;
  }
  return null();
}

const Value& Value::at(std::size_t index) const {
  if (auto a = ifArray(); a && index < a->size()) return (*a)[index];
  return null();
}

bool Value::contains(std::string_view key) const {
  auto d = ifDictionary();
  return d && d->find(key) != d->end();
}

std::size_t Value::count() const {
  if (auto a = ifArray()) return a->size();
  if (auto d = ifDictionary()) return d->size();
  if (auto b = ifData()) return b->size();
  return 0;
}

std::string Value::description() const {
  switch (type()) {
    case Type::Null:
      return "(null)";
    case Type::Bool:
      return *ifBool() ? "1" : "0";
    case Type::Integer:
      return std::to_string(*ifInteger());
    case Type::Unsigned:
      return std::to_string(*ifUnsigned());
    case Type::Double:
      return describeDouble(*ifDouble());
    case Type::String:
      return *ifString();
    case Type::Data: {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto& bytes = *ifData();
      auto hex = [&](std::size_t from, std::size_t to) {
        std::string s;
        for (std::size_t i = from; i < to; ++i) {
          s += kHex[bytes[i] >> 4];
          s += kHex[bytes[i] & 15];
        }
        return s;
      };
      std::string out = "{length = " + std::to_string(bytes.size()) + ", bytes = 0x";
      if (bytes.size() <= 24) {
        out += hex(0, bytes.size());
      } else {
        out += hex(0, 16) + " ... " + hex(bytes.size() - 8, bytes.size());
      }
      return out + "}";
    }
    case Type::Date:
      return ifDate()->description();
    case Type::Array:
    case Type::Dictionary: {
      std::string out;
      describe(*this, 0, false, out);
      return out;
    }
  }
  return {};
}

bool operator==(const Value& a, const Value& b) {
  using T = Value::Type;
  if (a.type() != b.type()) {
    // A number read back from a format without signedness compares by its value.
    if ((a.type() == T::Integer && b.type() == T::Unsigned) || (a.type() == T::Unsigned && b.type() == T::Integer)) {
      const Value& i = a.type() == T::Integer ? a : b;
      const Value& u = a.type() == T::Unsigned ? a : b;
      return *i.ifInteger() >= 0 && static_cast<std::uint64_t>(*i.ifInteger()) == *u.ifUnsigned();
    }
    return false;
  }
  switch (a.type()) {
    case T::Null:
      return true;
    case T::Array:
      return a.ifArray() == b.ifArray() || *a.ifArray() == *b.ifArray();
    case T::Dictionary:
      return a.ifDictionary() == b.ifDictionary() || *a.ifDictionary() == *b.ifDictionary();
    default:
      return a.v_ == b.v_;
  }
}

std::size_t Value::hash() const {
  switch (type()) {
    case Type::Null:
      return 0;
    case Type::Bool:
      return std::hash<bool>{}(*ifBool()) + 1;
    case Type::Integer:
      return std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(*ifInteger()));
    case Type::Unsigned:
      return std::hash<std::uint64_t>{}(*ifUnsigned());
    case Type::Double:
      return std::hash<double>{}(*ifDouble()) ^ 0x5555;
    case Type::String:
      return std::hash<std::string>{}(*ifString());
    case Type::Data:
      return std::hash<std::string_view>{}(
          std::string_view(reinterpret_cast<const char*>(ifData()->data()), ifData()->size()));
    case Type::Date:
      return std::hash<double>{}(ifDate()->timeIntervalSince1970()) ^ 0xdada;
    case Type::Array: {
      std::size_t h = 0xa11a;
      for (const auto& item : *ifArray()) h = combine(h, item.hash());
      return h;
    }
    case Type::Dictionary: {
      std::size_t h = 0xd1c7;
      for (const auto& [k, v] : *ifDictionary()) h = combine(combine(h, std::hash<std::string>{}(k)), v.hash());
      return h;
    }
  }
  return 0;
}

const std::string& Value::emptyString() {
  // Never destroyed: a worker may still read values while the process exits.
  static const std::string* const empty = new std::string;
  return *empty;
}

const Value& Value::null() {
  // Never destroyed: a worker may still read values while the process exits.
  static const Value* const v = new Value;
  return *v;
}

}  // namespace platform
